// e-mailer: sends one e-mail, whose subject and body are its parameters, through the
// SMTP server of the user's settings, and exits.
#include <string>
#include <vector>

#include "app/mailer_app.h"

int main(int argc, char* argv[]) {
  CMailerApp app(std::vector<std::string>(argv + 1, argv + argc));
  return app.Run();
}
