// Stand-ins for handlers whose features are not built yet. Each one does nothing harmful;
// a menu item whose handler stands here is disabled (PendingFeature). Whoever builds a
// feature removes its block here together with its PendingFeature line.
#include "engine/Unit1.h"
#include "engine/Unit1Pending.h"

// ---- manual sending and transfer control --------------------------------------------------

[[maybe_unused]] static const bool kPendingManual = PendingFeature("CNCLoad");
void TForm1::CNCLoadClick() {}
void TForm1::PrgLoad() {}
void TForm1::ButtonSendBlockClick() {}
void TForm1::NCBlockSend() {}
void TForm1::MemoTrmKeyPress(char&) {}
void TForm1::ButtonTxClearClick() {}
void TForm1::ButtonRxClearClick() {}
void TForm1::RBAutoClick() {}
void TForm1::RBManuClick() {}
void TForm1::Button3Click() {}
void TForm1::SetNull() {}
void TForm1::MemoFileHide() {}

// ---- the "Check" menu ---------------------------------------------------------------------

[[maybe_unused]] static const bool kPendingCheck = PendingFeature("Check1");
void TForm1::LogFile1Click() {}
void TForm1::CNCFile1Click() {}
void TForm1::CNCLoadinEditor1Click() {}

// ---- port settings dialogs ----------------------------------------------------------------

[[maybe_unused]] static const bool kPendingParameter = PendingFeature("Menu_Parameter");
void TForm1::Menu_ParameterClick() {}
[[maybe_unused]] static const bool kPendingExtParameter = PendingFeature("Menu_ExtParameter");
void TForm1::Menu_ExtParameterClick() {}
