// The port layer's one error code: taken from errno in one place, worded in German.
#include <errno.h>
#include <gtest/gtest.h>

#include <QList>

#include "serial/PortError.h"

namespace {

// Every code has German words of its own; the system's words follow only in brackets.
TEST(PortError, EveryCodeIsWordedInGerman) {
    QList<QByteArray> reasons;
    for (const TPortError code : {peBusy, peNotPermitted, peNoDevice, peNotSerial, peNotSupported,
                                  peLost, peTimeOut, peOther}) {
        const QByteArray reason = PortError::Reason(PortError::Failure(code));
        EXPECT_FALSE(reason.isEmpty()) << int(code);
        EXPECT_FALSE(reasons.contains(reason)) << reason.data();
        reasons << reason;
    }
    TPortFailure timeOut = PortError::Failure(ETIMEDOUT);
    EXPECT_EQ(PortError::Reason(timeOut),
              "das Ger\xe4t antwortet nicht (Zeit\xfc"
              "berschreitung) (" +
                  PortError::SystemText(ETIMEDOUT) + ")");
    EXPECT_EQ(PortError::OpenFailureText(0, {}),
              "Es ist keine Schnittstelle gew\xe4hlt. Bitte unter Einstellungen / Schnittstelle "
              "eine Schnittstelle w\xe4hlen.");
}

}  // namespace
