#include "serial/Termios.h"

namespace Termios {

void MakeRaw(termios& t) {
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    t.c_cflag |= CLOCAL | CREAD | HUPCL;
    t.c_cflag &= ~(CRTSCTS | CMSPAR | CSTOPB);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    // A standard rate as placeholder: an arbitrary rate left from an earlier open cannot
    // pass through tcsetattr. The real rate follows through the arbitrary-rate interface.
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
}

bool SetDataBits(termios& t, TDataBits bits) {
    tcflag_t size;
    switch (bits) {
        case db_5:
            size = CS5;
            break;
        case db_6:
            size = CS6;
            break;
        case db_7:
            size = CS7;
            break;
        case db_8:
            size = CS8;
            break;
        default:
            return false;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    return true;
}

void SetParity(termios& t, TParityBit parity, bool check) {
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
        case odd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case even:
            t.c_cflag |= PARENB;
            break;
        // With CMSPAR, PARODD selects a parity bit that is always 1 (mark), else 0.
        case mark:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case space:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (check && parity != none)
        t.c_iflag |= INPCK;
    else
        t.c_iflag &= ~INPCK;
}

bool SetStopBits(termios& t, TStopBits stop, TDataBits bits) {
    switch (stop) {
        case sb_1:
            t.c_cflag &= ~CSTOPB;
            return true;
        case sb_15:
            if (bits != db_5) return false;
            t.c_cflag |= CSTOPB;
            return true;
        case sb_2:
            if (bits == db_5) return false;
            t.c_cflag |= CSTOPB;
            return true;
    }
    return false;
}

void SetFlowControl(termios& t, bool rtsCts, bool xonXoff, char xon, char xoff) {
    if (rtsCts)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (xonXoff) t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(xon);
    t.c_cc[VSTOP] = static_cast<cc_t>(xoff);
}

tcflag_t CheckedCflag(const termios& t) {
    return t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
}

}  // namespace Termios
