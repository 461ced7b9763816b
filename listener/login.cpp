#include "login.h"

#include <memory>

#include "ado.h"
#include "msgbox.h"
#include "schema.h"
#include "text_rules.h"

namespace tallyhost {

LogonTester::Outcome LoginTest::Test(const std::string& user, const std::string& password) {
  auto& scratch = schema::ScratchConnection();
  try {
    std::string s = LogonTestString(connection_string_, user, password);
    scratch = std::make_shared<ado::Connection>();
    scratch->Open(s, "", "", ado::kOptionUnspecified);
    scratch->Close();
    scratch.reset();
    return Outcome::Accepted;
  } catch (...) {
    scratch.reset();
  }
  int answer = msgbox::MsgBox("Logon is invalid.  Try again?", msgbox::vbOKCancel, "Logon Failed");
  return answer == msgbox::vbOK ? Outcome::TryAgain : Outcome::Cancelled;
}

}  // namespace tallyhost
