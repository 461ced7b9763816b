// Login's logon test: builds the logon test string from the entry's
// connection string and the typed user name and password, opens it once on
// the scratch connection and closes it again. The typed values are kept
// nowhere else. A failure asks "Logon Failed" (OK tries again, Cancel gives
// up) through the message box service.
//
// User-interface thread only (it uses the shared scratch connection).
#pragma once

#include <string>

#include "front.h"

namespace tallyhost {

class LoginTest : public LogonTester {
 public:
  explicit LoginTest(std::string connection_string)
      : connection_string_(std::move(connection_string)) {}
  Outcome Test(const std::string& user, const std::string& password) override;

 private:
  std::string connection_string_;
};

}  // namespace tallyhost
