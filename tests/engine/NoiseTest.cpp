// Line noise for a few seconds (NULs, 0xFF, lone CRs, long lines, bursts of a megabyte
// without an end word, binary, stray calls and programs with any name): the engine stays in
// service and answers a call at the end, memory stays bounded, and nothing is written
// outside the save folder and "xxx.tmp". The long run is bench/noise.sh.
#include <QDirIterator>
#include <QTimer>
#include <fstream>

#include "EngineRig.h"
#include "common/ScriptedSeam.h"
#include "engine/TransferRules.h"

using namespace engine_test;

#if defined(__SANITIZE_ADDRESS__)
#define DNC_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DNC_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef DNC_ADDRESS_SANITIZER
#define DNC_ADDRESS_SANITIZER 0
#endif

namespace {

double RssMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return -1;
}

}  // namespace

TEST(LineNoise, ServerStaysInServiceAndWritesOnlyWhereItMay) {
    const qsizetype limit = 4 << 20;
    TransferRules::ReceiveLimit() = limit;
    EngineRig rig;
    rig.view.keepReceived = false;
    const QByteArray program = "%\r\nN10 G0 X0\r\nM30\r\n";
    WriteFile(rig.Path("2507.CNC"), program);
    ScriptedSeam seam;
    rig.VirtualCnc({"--seed", "7", "--rate", "0", "--chunk", "4096", "--noise", "3000", "--wait",
                    "1500", "--call", "2507", "--receive", rig.Path("answer.txt"), "--idle-ms",
                    "5000", "--timeout-ms", "60000"});
    qsizetype largest = 0;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        largest = std::max(largest, rig.engine->RxBuffer.size());
        // The window's memos hold a bounded number of lines; this view would keep every one.
        rig.view.trace.clear();
        rig.view.status.clear();
    });
    sample.start(5);
    [[maybe_unused]] const double before = RssMb();
    EXPECT_EQ(rig.CncDone(90000), 0) << rig.CncOutput().constData();
    ASSERT_TRUE(WaitFor([&] { return !rig.engine->Busy(); }));
    sample.stop();
    TransferRules::ReceiveLimit() = 64 * 1024 * 1024;

    EXPECT_EQ(ReadFile(rig.Path("answer.txt")), program) << "the call at the end was not answered";
    EXPECT_LE(largest, limit) << "a transmission without end grew past the limit";
#if !DNC_ADDRESS_SANITIZER
    // Under the address sanitizer freed memory is held in quarantine: the release run checks.
    EXPECT_LT(RssMb() - before, 64) << "memory grew by " << RssMb() - before << " MB";
#endif

    // Everything written lies in the save folder, or is xxx.tmp or the log.
    const QStringList allowed = {"2507.CNC", "xxx.tmp", "answer.txt", "send/DNC.log"};
    QDirIterator it(rig.Path(""), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    int saved = 0;
    while (it.hasNext()) {
        const QString path = QDir(rig.Path("")).relativeFilePath(it.next());
        if (path.startsWith("save/") && !path.mid(5).contains('/')) {
            ++saved;
            continue;
        }
        EXPECT_TRUE(allowed.contains(path)) << path.toStdString();
    }
    EXPECT_GT(saved, 0) << "the noise holds programs; some must have been saved";
}
