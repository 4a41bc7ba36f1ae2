#include "relay/form1.h"
#include "relay/stream_format.h"

void Form1::tmrKeepAlive_Timer() {
  if (Service.ServiceStopRequested()) {
    Shutdown();
    return;
  }
  if (++TickCounter >= TicksPerDay) TickCounter = 0;
  CloseIdle();
  Status.ShowServingCount(CountStreaming());
  if (TickCounter % KeepAliveEveryTicks == 0) {
    SendToStreaming(KeepAlivePart(LocalDateTimeText(Clock.Now())));
  }
}

int Form1::CountStreaming() {
  int count = 0;
  ForEachClientElement([&](ElementIndex i) { count += IsStreaming(i) ? 1 : 0; });
  return count;
}

void Form1::SendToStreaming(const SharedBytes& part) {
  ForEachClientElement([&](ElementIndex i) {
    if (IsStreaming(i)) wSession.SendData(i, part);
  });
}
