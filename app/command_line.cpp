#include "app/command_line.h"

#include <strings.h>

void CMailerCommandLineInfo::ParseParam(const char* param, bool flag, bool last) {
  m_params.emplace_back(param);
  CCommandLineInfo::ParseParam(param, flag, last);
}

MailerRunParameters TakeRunParameters(const std::vector<std::string>& params) {
  MailerRunParameters run;
  int counted = 0;
  for (const std::string& param : params) {
    if (strcasecmp(param.c_str(), "showui") == 0) {
      run.showUi = true;
    } else if (++counted == 1) {
      run.subject = param;
    } else if (counted == 2) {
      run.body = param;
    }
  }
  return run;
}
