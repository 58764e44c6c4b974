// Stand-ins for handlers whose features are not built yet. Each one does nothing harmful;
// a menu item whose handler stands here is disabled (PendingFeature). Whoever builds a
// feature removes its block here together with its PendingFeature line.
#include "engine/Unit1Pending.h"

#include "engine/Unit1.h"

// ---- receive dispatcher -------------------------------------------------------------------

[[maybe_unused]] static const bool kPendingReceive = PendingFeature("Serial1EventChar");
void TForm1::Serial1EventChar() { DrainReceived(); }

// ---- sending a called program -------------------------------------------------------------

[[maybe_unused]] static const bool kPendingSend = PendingFeature("ButtonTest");
void TForm1::SendPrgLoad() {}
void TForm1::AutoSendSerial() {}
void TForm1::VerweilZeit() {}
void TForm1::ButtonTestClick() {}
void TForm1::TestCallLoad() {}
void TForm1::TestCallShow() {}

// ---- saving a received program ------------------------------------------------------------

[[maybe_unused]] static const bool kPendingSave = PendingFeature("RevFileSave");
void TForm1::RevFileSave() {}
