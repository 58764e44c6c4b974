#pragma once
// The modal seam of a program with windows: Qt's own boxes and dialogs.
#include "common/Modal.h"

namespace Modal {

// Makes the real dialogs the seam in force whenever no other was installed.
void UseRealDialogs();

}  // namespace Modal
