// Systems without COM: the broker's automation objects exist only on Windows.
#include "tools/Automation.h"

namespace kestrill {

std::unique_ptr<IAutomationSession> StartAutomation() {
  throw EAutomationUnavailable(
      "대신증권 CYBOS Plus는 Windows에서만 사용할 수 있습니다. CYBOS Plus가 설치되어 있고 "
      "대신증권 프로그램에 로그인한 Windows PC에서 이 도구를 사용하세요.");
}

}  // namespace kestrill
