// The settings of a run: named values of the current user's registry key
// software\<company>\<product>\<section> (platform/registry.h). They are only read;
// reading creates the key path when it is missing.
#pragma once

#include <string>

// A value as text: REG_SZ up to its first NUL, REG_DWORD as a signed decimal, any other
// type as empty text. The default when the value is missing, a key on the way cannot be
// opened or created, or a read fails; an empty text when company is null. Never raises.
std::string ReadRegistryString(const char* company, const char* product, const char* section,
                               const char* valueName, const char* defaultText);

// ReadRegistryString under Zelkor\Kestrum\SMTP.
std::string ReadSmtpSetting(const char* valueName, const char* defaultText);
