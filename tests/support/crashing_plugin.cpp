// A plug-in that crashes: the identification block of the real one, a start
// that writes a log line, and an event handler that writes through a null
// pointer at the first key. The HTML report's check plays it to see that a
// crash still leaves the report and the JUnit file.
#include "platform/tap.h"

namespace {
int* volatile gNowhere = nullptr;

dword Handler(dword event, dword param1, dword) {
  if (event == EVT_KEY) *gNowhere = int(param1);
  return param1;
}

int Main() {
  TAP_Print("crashing plug-in: started, the first key crashes it\n");
  return 1;
}
}  // namespace

extern "C" TAP_EXPORT int __TAP_Init_(TYPE_TapStart* start) {
  start->main = Main;
  start->eventHandler = Handler;
  return 0;
}
