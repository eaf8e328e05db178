// The check's first step: the settings file, its permission check, each setting read
// (secrets as "set") from the key of the account in use, names it does not know or does
// not read in that kind of key, and values out of range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/mailer/check_diagnosis.h"
#include "app/mailer/check_report.h"

// The settings that the later steps report on (the connect step reads its own).
struct CheckSettings {
  std::string server;
  int port = 25;
  bool ssl = false;
  bool startTls = false;
  int authMethod = 0;
  std::string sender;
  std::string recipient;
  std::uint32_t timeout = 60000;  // ms
  bool verified = false;  // the certificate is checked (TLSVerify, TLSCAFile, StartTLS)
  bool pinned = false;    // TLSFingerprint decides
};

// Reads the settings into settings and describes them. failure is set when a setting
// keeps a message from going (EX_CONFIG). The caller holds a CSettingsReadOnce.
CheckStep SettingsStep(CheckSettings& settings, std::optional<Diagnosis>& failure);

// The known setting closest to name (a likely typo), or "" when none is close.
std::string ClosestSettingName(const std::string& name);
