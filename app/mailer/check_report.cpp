// The two forms of the check's report: lines for a person, one JSON object for
// monitoring.
#include "app/mailer/check_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/code_page.h"
#include "platform/terminal_text.h"

namespace {

// A text from the run (which may hold the server's words) as it may reach a terminal,
// on one line.
std::string OneLine(const std::string& text) {
  std::string shown = TerminalText(text, !AnsiCodePageIsLatin1());
  for (char& c : shown) {
    if (c == '\n') c = ' ';
  }
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  return shown;
}

std::string Milliseconds(double milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, milliseconds < 10 ? "%.1f ms" : "%.0f ms", milliseconds);
  return text;
}

// JSON keeps every byte; a text that is not UTF-8 (Latin-1 settings) has its bytes
// above 127 taken as Latin-1.
std::string JsonText(const std::string& text) {
  std::string utf8;
  for (unsigned char c : text) {
    if (c < 0x80 || !AnsiCodePageIsLatin1()) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

}  // namespace

std::string UtcTimeText(std::time_t when) {
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &when);
#else
  gmtime_r(&when, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

namespace {

std::string ReportText(const CheckReport& report) {
  std::string text;
  for (const CheckStep& step : report.steps) {
    char head[64];
    std::snprintf(head, sizeof head, "%-4s %-14s ", step.ok ? "ok" : "FAIL", step.name.c_str());
    text += head + OneLine(step.found) + " (" + Milliseconds(step.milliseconds) + ")\n";
    for (const std::string& detail : step.details) text += "       " + OneLine(detail) + "\n";
  }
  if (!report.problem.empty()) text += "problem: " + OneLine(report.problem) + "\n";
  if (!report.change.empty()) text += "what to change: " + OneLine(report.change) + "\n";
  text += report.exitStatus == 0 ? "A message would go: exit status 0.\n"
                                 : "No message would go: exit status " +
                                       std::to_string(report.exitStatus) + ".\n";
  return text;
}

nlohmann::json ReportJson(const AccountReport& account, bool named) {
  nlohmann::json steps = nlohmann::json::array();
  for (const CheckStep& step : account.report.steps) {
    nlohmann::json details = nlohmann::json::array();
    for (const std::string& detail : step.details) details.push_back(JsonText(detail));
    steps.push_back({{"step", step.name},
                     {"ok", step.ok},
                     {"milliseconds", step.milliseconds},
                     {"found", JsonText(step.found)},
                     {"details", details}});
  }
  const CheckReport& report = account.report;
  nlohmann::json object = {{"ok", report.exitStatus == 0},
                           {"exitStatus", report.exitStatus},
                           {"steps", steps},
                           {"problem", JsonText(report.problem)},
                           {"change", JsonText(report.change)}};
  if (named) object["account"] = JsonText(account.account);
  return object;
}

}  // namespace

int CombinedExitStatus(const std::vector<AccountReport>& reports) {
  for (const AccountReport& account : reports) {
    if (account.report.exitStatus != 0) return account.report.exitStatus;
  }
  return 0;
}

std::string CheckReportText(const std::vector<AccountReport>& reports) {
  if (reports.size() == 1 && reports[0].account.empty()) return ReportText(reports[0].report);
  std::string text;
  std::size_t sending = 0;
  for (const AccountReport& account : reports) {
    if (!text.empty()) text += "\n";
    text += account.account.empty() ? "--- the default account ---\n"
                                    : "--- account " + OneLine(account.account) + " ---\n";
    text += ReportText(account.report);
    if (account.report.exitStatus == 0) ++sending;
  }
  if (reports.size() > 1) {
    text += "\nOf " + std::to_string(reports.size()) + " accounts " + std::to_string(sending) +
            " would send a message: exit status " + std::to_string(CombinedExitStatus(reports)) +
            ".\n";
  }
  return text;
}

std::string CheckReportJson(const std::vector<AccountReport>& reports) {
  nlohmann::json object;
  if (reports.size() == 1) {
    object = ReportJson(reports[0], !reports[0].account.empty());
  } else {
    nlohmann::json accounts = nlohmann::json::array();
    for (const AccountReport& account : reports) accounts.push_back(ReportJson(account, true));
    const int status = CombinedExitStatus(reports);
    object = {{"ok", status == 0}, {"exitStatus", status}, {"accounts", accounts}};
  }
  // Bytes that are not UTF-8 (a server's) are replaced rather than fail the report.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
