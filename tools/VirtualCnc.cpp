// virtual-cnc: a stand-in for the machine's control on the other end of the serial line.
// It opens a serial device, or makes a pseudo-terminal pair and links the slave where the
// server expects its port, then runs the actions given on the command line in order:
// send a call, send a program file, receive a program until its end word, wait, or loop a
// demonstration. It behaves like a real control, not like a test: writes go out in chunks
// paced like the bit rate (one byte a write with --chunk 1, or random sizes), a leader of
// NULs may come first, the line end after the end word may come late; it reads no faster
// than the line rate and can stall (a full buffer, as when it executes while it reads). It
// can punch in ISO tape format (leader, DC2, LF-only blocks, the tape end "%", DC4 and NULs),
// send a subprogram ending M99 and its "%" line, put a glitch byte on the line as a control
// does when it is switched on, be reset in the middle of an answer and call anew, and vanish
// from the line and come back. With --control it plays a control family (Fanuc, Haas,
// Heidenhain, Sinumerik, Okuma): it punches programs and calls in that family's format, with
// its line end, its tape start and end and its trailer, several programs in one punch-all,
// and reads an answer up to that family's end with its line end.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string device, link;
    int tcpListen = -1;  // >= 0: play a serial device server on 127.0.0.1 (0: any free port)
    long rate = 4800;    // 0: no pacing
    size_t chunk = 16;
    std::string prgAk = "Prg", ak = "O";
    int idleMs = 5000, timeoutMs = 60000;
    int intervalMs = 4000;
    int cycles = 0;       // demo: 0 = until stopped
    size_t chunkMax = 0;  // > chunk: write sizes drawn between chunk and chunkMax
    unsigned seed = 1;
    size_t leader = 0;      // NULs before each transmission
    int eolPauseMs = 0;     // pause between an end word and its line end
    long readRate = 0;      // bit/s the machine reads at (0: as fast as it comes)
    size_t stallAfter = 0;  // stop reading once this many bytes of an answer came...
    int stallMs = 0;        // ...for this long
    bool iso = false;       // punch in ISO tape format
    bool byId = false;      // --link through a name that outlives the line, as by-id links do
    size_t resetAfter = 0;  // the next receive is reset once this many bytes came
    std::string control;    // a control family: fanuc, haas, heidenhain, sinumerik, okuma
    std::string eob;        // its line end: crlf, lf, cr, lfcrcr (empty: the family's own)
    int soakMs = 0;         // the soak ends after this long (0: after its rounds)
};

struct Action {
    std::string kind, arg;
};

void Usage() {
    std::cerr
        << "usage: virtual-cnc (--device PATH | --link PATH | --tcp-listen PORT)\n"
           "         [--rate BPS] [--chunk N]\n"
           "         [--prg-ak TEXT] [--ak TEXT] [--idle-ms MS] [--timeout-ms MS]\n"
           "         [--chunk-max N] [--seed N]  write sizes at random in chunk..N\n"
           "         [--leader N]       N NUL bytes before each transmission\n"
           "         [--eol-pause MS]   pause between the end word and its line end\n"
           "         [--read-rate BPS]  read no faster than the line rate\n"
           "         [--stall-after N --stall-ms MS]  stop reading for MS once N bytes came\n"
           "         [--iso]            punch in ISO tape format: NUL leader, DC2, LF-only\n"
           "                            blocks, then the tape end %, DC4 and NULs\n"
           "         [--by-id]          --link leads through a name of its own that stays\n"
           "                            when the line vanishes and returns (as by-id links)\n"
           "         [--reset-after N]  the operator resets the control once N bytes of the\n"
           "                            next answer came: the answer is dropped, and the\n"
           "                            receive after it skips up to the program's first %\n"
           "         [--control FAMILY] punch and call as fanuc, haas, heidenhain, sinumerik\n"
           "                            or okuma do, and read answers up to their end\n"
           "         [--eob END]        the control's line end: crlf, lf, cr, lfcrcr\n"
           "         [--soak-ms MS]     end the soak after MS\n"
           "         actions, run in order:\n"
           "         --call NUMBER     send %<prg-ak> CR LF <ak><NUMBER> CR LF M30 CR LF\n"
           "         --send FILE       send the file's bytes unchanged\n"
           "         --send-text TEXT  send TEXT (C escapes \\r \\n \\0 \\xHH)\n"
           "         --receive FILE    receive until the line with M30/M02 is complete\n"
           "         --wait MS         pause\n"
           "         --punch FILE      punch the program in FILE (as the control holds it)\n"
           "         --punch-all F,F.. punch the programs in one go (punch-all)\n"
           "         --subprogram NAME send a macro subprogram (DFS,NAME,) with two M99\n"
           "                           and its % line\n"
           "         --glitch HH       one byte (hex), as when the control is switched on\n"
           "         --vanish MS       the line goes away for MS and comes back (a new\n"
           "                           pseudo-terminal behind the same link)\n"
           "         --await-open      wait until the server has opened the line\n"
           "         --noise MS        line noise for MS: NULs, 0xFF, lone CRs, long lines,\n"
           "                           bursts of 1 MB without an end word, binary, stray\n"
           "                           calls and programs; then a line that ends it all\n"
           "         --hold            keep the line open until stopped\n"
           "         --demo DIR        loop: call DIR's numbers, receive, send DIR/send/*\n"
           "         --soak N:DIR      N rounds: call DIR's NNNN.CNC in turn, check the\n"
           "                           answer, send a program S<round> (kept in DIR/sent)\n"
           "         [--interval-ms MS] [--cycles N] (demo)\n";
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == '0')
            out += '\0';
        else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

bool ReadFile(const std::string& path, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *data = ss.str();
    return true;
}

bool WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return static_cast<bool>(out.flush());
}

const char* const kFamilies[] = {"fanuc", "haas", "heidenhain", "sinumerik", "okuma"};

// The control's line end.
std::string Eob(const Options& o) {
    const std::string eob = !o.eob.empty()                                     ? o.eob
                            : o.control == "fanuc" || o.control == "sinumerik" ? "lf"
                                                                               : "crlf";
    return eob == "lf" ? "\n" : eob == "cr" ? "\r" : eob == "lfcrcr" ? "\n\r\r" : "\r\n";
}

// Text with the control's line end after each of its lines (whatever ended them).
std::string WithEob(const std::string& text, const std::string& eob) {
    std::string out;
    size_t from = 0;
    while (from < text.size()) {
        size_t to = text.find_first_of("\r\n", from);
        if (to == std::string::npos) to = text.size();
        out += text.substr(from, to - from) + eob;
        if (to < text.size() && text[to] == '\r' && to + 1 < text.size() && text[to + 1] == '\n')
            ++to;
        from = to + 1;
    }
    return out;
}

// A punch of the control family: programs (as the control holds them, or a call) with the
// family's line end, between its tape start and tape end, with its leader and trailer.
struct Punched {
    std::string tape;               // what goes on the line
    std::vector<std::string> kept;  // each program as a server keeps it: the first with the
                                    // tape start, the last with the tape end
};

Punched Punch(const Options& o, const std::vector<std::string>& programs, bool call) {
    const std::string eob = Eob(o);
    std::string start, end, leader, trailer;
    if (o.control == "fanuc" || o.control == "haas") {
        // ISO tapes begin with a "%" line (a call begins with its own "%") and end with "%".
        start = call ? "" : "%" + eob;
        end = "%";
        const std::string feed(o.leader > 0 ? o.leader : 8, '\0');
        leader = o.control == "fanuc" ? feed + "\x12" : "\x12";
        trailer = o.control == "fanuc" ? "\x14" + feed : eob + "\x14";
    } else if (o.control == "heidenhain") {
        trailer = "\x03";
    } else if (o.control == "okuma") {
        end = programs.size() > 1 ? "%%" : "%";  // several files end with "%%"
    } else if (!o.control.empty()) {
        std::cerr << "virtual-cnc: no control family " << o.control << std::endl;
    } else {
        leader.assign(o.leader, '\0');
    }
    Punched p;
    for (size_t i = 0; i < programs.size(); ++i) {
        p.kept.push_back((i == 0 ? start : "") + WithEob(programs[i], eob) +
                         (i + 1 == programs.size() ? end : ""));
    }
    p.tape = leader;
    for (const std::string& k : p.kept) p.tape += k;
    p.tape += trailer;
    return p;
}

class Line {
  public:
    ~Line() {
        if (fd_ >= 0) ::close(fd_);
        if (slave_ >= 0) ::close(slave_);
        if (!link_.empty()) ::unlink(link_.c_str());
        if (!stableName_.empty()) ::unlink(stableName_.c_str());
    }

    // The link leads through a name of its own that stays the same when the line vanishes
    // and returns, as /dev/serial/by-id names an adapter whatever ttyUSBn it gets.
    void LinkThroughStableName(bool on) { stableNames_ = on; }

    bool OpenDevice(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return Fail("open " + path);
        return MakeRaw(fd_);
    }

    // Plays a serial device server in raw TCP mode: listens on 127.0.0.1, says the port, and
    // takes the first connection as the line.
    bool ListenTcp(int port) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0) return Fail("socket");
        const int on = 1;
        ::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port));
        if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(server, 1) != 0) {
            ::close(server);
            return Fail("bind/listen");
        }
        socklen_t len = sizeof address;
        ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &len);
        std::cout << "virtual-cnc: listening on 127.0.0.1:" << ntohs(address.sin_port) << std::endl;
        while (!g_stop) {
            pollfd p{server, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            fd_ = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd_ >= 0) break;
        }
        ::close(server);
        if (fd_ < 0) return false;
        socket_ = true;
        std::cout << "virtual-cnc: connection taken" << std::endl;
        return true;
    }

    bool MakePty(const std::string& link) {
        char name[256] = {};
        if (::openpty(&fd_, &slave_, name, nullptr, nullptr) != 0) return Fail("openpty");
        // The slave stays open here as well: the server may close and reopen it without
        // the master seeing a hang-up, and bytes written before it opens wait in the queue.
        if (!MakeRaw(slave_)) return false;
        slaveName_ = name;
        std::string target = name;
        if (stableNames_) {
            const size_t slash = link.rfind('/');
            const size_t cut = slash == std::string::npos ? 0 : slash + 1;
            stableName_ = link.substr(0, cut) + "." + link.substr(cut) + ".by-id";
            ::unlink(stableName_.c_str());
            if (::symlink(name, stableName_.c_str()) != 0) return Fail("symlink " + stableName_);
            target = stableName_;
        }
        ::unlink(link.c_str());
        if (::symlink(target.c_str(), link.c_str()) != 0) return Fail("symlink " + link);
        link_ = link;
        std::cout << "virtual-cnc: line " << name << " linked at " << link << std::endl;
        return true;
    }

    // Sends one transmission: the leader, then the text, with the pause after its end word.
    bool Send(const std::string& text, const Options& o) {
        const std::string data = o.iso ? IsoTape(text, o) : std::string(o.leader, '\0') + text;
        const size_t split = o.eolPauseMs > 0 ? AfterEndWord(data) : std::string::npos;
        if (split == std::string::npos) return Paced(data, o);
        if (!Paced(data.substr(0, split), o)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(o.eolPauseMs));
        return Paced(data.substr(split), o);
    }

    bool Paced(const std::string& data, const Options& o) {
        size_t done = 0;
        while (done < data.size() && !g_stop) {
            size_t n = o.chunk;
            if (o.chunkMax > o.chunk) {
                n = std::uniform_int_distribution<size_t>(o.chunk, o.chunkMax)(Random(o));
            }
            n = std::min(n, data.size() - done);
            if (!WriteAll(data.data() + done, n)) return false;
            done += n;
            if (o.rate > 0) {
                // About ten bits per character on the line.
                std::this_thread::sleep_for(std::chrono::microseconds(n * 10'000'000 / o.rate));
            }
        }
        return done == data.size();  // a stop during the last pause is no failure
    }

    // Writes one byte as it is.
    bool Raw(char byte) { return WriteAll(&byte, 1); }

    // The last receive ended by a reset.
    bool WasReset() const { return skipToPercent_; }

    // Waits until the server has opened its end of the line: with our own hold on it let go
    // for a moment, the master reports a hang-up until another opener has it.
    bool AwaitOpen() {
        if (slave_ < 0) return true;
        ::close(slave_);
        slave_ = -1;
        for (;;) {
            if (g_stop) return false;
            pollfd p{fd_, 0, 0};
            if (::poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        slave_ = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) return Fail("open " + slaveName_);
        std::cout << "virtual-cnc: the server has the line" << std::endl;
        return true;
    }

    // The line goes away (the adapter is pulled) and comes back after ms behind the same link.
    bool Vanish(int ms) {
        if (link_.empty()) {
            std::cerr << "virtual-cnc: --vanish needs --link" << std::endl;
            return false;
        }
        // The bytes sent last have reached the PC before the line goes: it is pulled then, not
        // in the middle of a byte (bounded: a server that reads nothing does not hold it). The
        // queue must stay empty a while: the kernel hands written bytes on to it a little later.
        for (int quiet = 0, i = 0; quiet < 10 && i < 500; ++i) {
            int waiting = 0;
            if (::ioctl(slave_, TIOCINQ, &waiting) != 0) break;
            quiet = waiting == 0 ? quiet + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const std::string link = link_;
        // The link stays and leads nowhere, as a port map entry of a pulled adapter does (a
        // missing entry would name a default device instead).
        if (stableNames_) {
            ::unlink(stableName_.c_str());
        } else {
            ::unlink(link.c_str());
            [[maybe_unused]] const int r = ::symlink("/nonexistent/tty", link.c_str());
        }
        link_.clear();
        ::close(fd_);
        ::close(slave_);
        fd_ = slave_ = -1;
        pending_.clear();
        std::cout << "virtual-cnc: line gone" << std::endl;
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return MakePty(link);
    }

    // Receives until the line holding M30/M02 is complete, silence for idleMs after the
    // first byte, timeoutMs overall, or a stop. True when an end word came.
    bool Receive(std::string* data, const Options& o) {
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        auto last = start;
        data->swap(pending_);
        pending_.clear();
        // After a reset the control skips what comes before the program's first "%".
        const bool skipToPercent = std::exchange(skipToPercent_, false);
        size_t skipped = 0;
        size_t endWord = std::string::npos;
        size_t scanned = 0;
        size_t taken = 0;
        auto firstAt = start;
        bool stalled = false;
        while (true) {
            if (endWord == std::string::npos) {
                endWord = FindEndWord(*data, scanned > 8 ? scanned - 8 : 0, o);
                scanned = data->size();
            }
            if (skipToPercent && !data->empty() && (*data)[0] != '%') {
                const size_t percent = data->find('%');
                const size_t drop = percent == std::string::npos ? data->size() : percent;
                skipped += drop;
                data->erase(0, drop);
                scanned = 0;
                endWord = std::string::npos;  // it stood in what was skipped
            }
            if (o.resetAfter > 0 && data->size() >= o.resetAfter) {
                // The operator resets the control: what it got is gone, and so is the rest.
                std::cout << "virtual-cnc: reset after " << data->size() << " bytes" << std::endl;
                skipToPercent_ = true;
                return false;
            }
            if (endWord != std::string::npos) {
                // It reads up to its own line end after the end line.
                const std::string eob = o.control.empty() && o.eob.empty() ? "\n" : Eob(o);
                const size_t lineEnd = data->find(eob, endWord);
                if (lineEnd != std::string::npos) {
                    const size_t end = lineEnd + eob.size();
                    pending_ = data->substr(end);  // belongs to the next transmission
                    data->resize(end);
                    if (skipToPercent) {
                        std::cout << "virtual-cnc: skipped " << skipped
                                  << " bytes before the program" << std::endl;
                    }
                    return true;
                }
            }
            if (g_stop) break;
            const auto now = Clock::now();
            const auto since = [&](Clock::time_point t) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count();
            };
            if (since(start) > o.timeoutMs) break;
            if (!data->empty() && since(last) > o.idleMs) break;
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, 100);
            if (r < 0 && errno != EINTR) return Fail("poll");
            if (r <= 0) continue;
            if (!(p.revents & POLLIN)) {
                // Hang-up with no reader on the other side: wait instead of spinning.
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            // A control whose buffer is full takes nothing for a while.
            if (o.stallMs > 0 && !stalled && data->size() >= o.stallAfter) {
                stalled = true;
                std::cout << "virtual-cnc: stalling " << o.stallMs << " ms after " << data->size()
                          << " bytes" << std::endl;
                std::this_thread::sleep_for(std::chrono::milliseconds(o.stallMs));
                last = Clock::now();
            }
            // It reads no faster than the line brings the bytes.
            size_t room = sizeof(buffer_);
            if (o.readRate > 0) {
                if (taken == 0) firstAt = Clock::now();
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - firstAt)
                        .count();
                const long long allowed = ms * o.readRate / 10000 + 1 - (long long)taken;
                if (allowed <= 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                room = std::min<size_t>(room, size_t(allowed));
            }
            if (o.stallMs > 0 && !stalled) room = std::min(room, o.stallAfter + 1 - data->size());
            const ssize_t n = ::read(fd_, buffer_, room);
            if (n == 0 && socket_) break;  // the server closed the connection
            if (n <= 0) continue;
            data->append(buffer_, static_cast<size_t>(n));
            taken += size_t(n);
            last = Clock::now();
        }
        return endWord != std::string::npos;
    }

  private:
    // A punched ISO tape: a leader of NULs and DC2, the blocks with LF only, the tape end
    // "%" right after the last block, DC4 and NULs.
    static std::string IsoTape(const std::string& text, const Options& o) {
        const size_t feed = o.leader > 0 ? o.leader : 8;
        std::string tape(feed, '\0');
        tape += '\x12';
        for (char c : text)
            if (c != '\r') tape += c;
        if (tape.back() != '\n') tape += '\n';
        tape += "%\x14";
        tape += std::string(feed, '\0');
        return tape;
    }

    static std::mt19937& Random(const Options& o) {
        static std::mt19937 random(o.seed);
        return random;
    }

    // Where the line end after the last end word begins (npos: no end word).
    static size_t AfterEndWord(const std::string& data) {
        std::string upper = data;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const size_t m30 = upper.rfind("M30"), m02 = upper.rfind("M02");
        size_t at = m30 == std::string::npos   ? m02
                    : m02 == std::string::npos ? m30
                                               : std::max(m30, m02);
        if (at == std::string::npos) return at;
        at += 3;
        while (at < data.size() && data[at] != '\r' && data[at] != '\n') ++at;
        return at;
    }

    // Where the end word of the control's programs stands: END PGM (or the N99999999 line)
    // in Heidenhain's, M30 or M02 in the others'.
    static size_t FindEndWord(const std::string& data, size_t from, const Options& o) {
        std::string upper = data.substr(from);
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const size_t at = o.control == "heidenhain"
                              ? std::min(upper.find("END PGM"), upper.find("N99999999"))
                              : std::min(upper.find("M30"), upper.find("M02"));
        return at == std::string::npos ? at : from + at;
    }

    static bool MakeRaw(int fd) {
        termios t{};
        if (::tcgetattr(fd, &t) != 0) return Fail("tcgetattr");
        ::cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (::tcsetattr(fd, TCSANOW, &t) != 0) return Fail("tcsetattr");
        return true;
    }

    bool WriteAll(const char* p, size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(fd_, p, n);
            if (w < 0) {
                if (errno == EINTR) {
                    if (g_stop) return false;
                    continue;
                }
                return Fail("write");
            }
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }

    static bool Fail(const std::string& what) {
        std::cerr << "virtual-cnc: " << what << ": " << std::strerror(errno) << std::endl;
        return false;
    }

    int fd_ = -1, slave_ = -1;
    std::string link_, slaveName_;
    bool stableNames_ = false;
    std::string stableName_;
    std::string pending_;
    bool skipToPercent_ = false;
    bool socket_ = false;
    char buffer_[4096];
};

// Line noise, as a broken cable or a wrong setting makes it, and worse.
bool Noise(Line& line, const Options& o, int ms) {
    std::mt19937 random(o.seed);
    const auto pick = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Options raw = o;  // noise comes without leader or pause
    raw.leader = 0;
    raw.eolPauseMs = 0;
    size_t total = 0;
    while (!g_stop && std::chrono::steady_clock::now() < end) {
        std::string chunk;
        switch (pick(0, 7)) {
            case 0:
                chunk.assign(size_t(pick(1, 1000)), '\0');
                break;
            case 1:
                chunk.assign(size_t(pick(1, 1000)), '\xFF');
                break;
            case 2:
                chunk.assign(size_t(pick(1, 20)), '\r');
                break;
            case 3:  // a long line, no line end
                for (int n = pick(1000, 200000); n > 0; --n) chunk += char(pick(32, 126));
                break;
            case 4:  // a megabyte without an end word
                chunk.resize(1 << 20);
                for (char& c : chunk) {
                    c = char(pick(0, 255));
                    if (c == 'M' || c == 'm') c = 'X';
                }
                break;
            case 5:
                for (int n = pick(1, 300); n > 0; --n) chunk += char(pick(0, 255));
                break;
            case 6:  // a program, with a name that may be anything
                chunk = "%\r\n(DFS,";
                for (int n = pick(0, 12); n > 0; --n) chunk += char(pick(1, 255));
                chunk += ",)\r\nN10 G0 X0\r\nM30\r\n";
                break;
            case 7:  // a call for a program nobody has
                chunk = "%" + o.prgAk + "\r\n" + o.ak;
                for (int n = 0; n < 4; ++n) chunk += char(pick(33, 126));
                chunk += "\r\nM30\r\n";
                break;
        }
        if (!line.Send(chunk, raw)) return false;
        total += chunk.size();
    }
    std::cout << "virtual-cnc: sent " << total << " bytes of noise" << std::endl;
    // Whatever the noise left open ends here.
    return line.Send("\r\nM30\r\n", raw);
}

std::string CallText(const Options& o, const std::string& number) {
    return "%" + o.prgAk + "\r\n" + o.ak + number + "\r\nM30\r\n";
}

// A call, punched as the control family punches it.
bool SendCall(Line& line, const Options& o, const std::string& number) {
    if (o.control.empty()) return line.Send(CallText(o, number), o);
    return line.Paced(Punch(o, {CallText(o, number)}, true).tape, o);
}

// A soak program of the control family: k (1, 2, ...) of round r, a main program or a
// subprogram (ending M99, M17 or RTS), with its name in its header. *file: the name a server
// that names programs by their header saves it under (extension CNC for O-numbers).
std::string FamilyProgram(const Options& o, int r, int k, bool sub, int lines, std::mt19937& random,
                          std::string* file) {
    const std::string name = "S" + std::to_string(r) + "_" + std::to_string(k);
    char number[16];
    std::snprintf(number, sizeof number, o.control == "haas" ? "%05d" : "%04d", r * 10 + k);
    std::string head, end = sub ? "M99" : "M30";
    if (o.control == "fanuc" || o.control == "haas") {
        head = "O" + std::string(number) + " (SOAK)";
        *file = std::string(number) + ".CNC";
    } else if (o.control == "heidenhain") {
        head = "0 BEGIN PGM " + name + " MM";
        end = std::to_string(lines + 1) + " END PGM " + name + " MM";
        *file = name + ".H";
    } else if (o.control == "sinumerik") {
        const std::string type = sub ? "SPF" : "MPF";
        head = "%_N_" + name + "_" + type + "\n;$PATH=/_N_" + type + "_DIR";
        if (sub) end = "M17";
        *file = name + "." + type;
    } else {
        const std::string type = sub ? "SSB" : "MIN";
        head = "$" + name + "." + type + "%";
        end = sub ? "RTS" : "M02";
        *file = name + "." + type;
    }
    std::string text = head + "\n";
    for (int n = 1; n <= lines; ++n) {
        const std::string x = std::to_string(std::uniform_int_distribution<int>(0, 9999)(random));
        text += o.control == "heidenhain"
                    ? std::to_string(n) + " L X+" + x + " Y+" + std::to_string(r) + " R0 F" +
                          std::to_string(100 + n) + "\n"
                    : "N" + std::to_string(n * 10) + " G1 X" + x + " Y" + std::to_string(r) + " F" +
                          std::to_string(100 + n) + "\n";
    }
    return text + end + "\n";
}

// A macro that returns early with M99 and again at its end, and its "%" line (on a tape the
// tape end stands for it).
std::string SubprogramText(const Options& o, const std::string& name) {
    std::string text = "%\r\n(DFS," + name +
                       ",)\r\nO9001\r\nIF [#1 EQ 0] GOTO 99\r\n#100=#1*2\r\nM99\r\n"
                       "N99 #100=0\r\nM99\r\n";
    if (!o.iso) text += "%\r\n";
    return text;
}

void Sleep(int ms) {
    using namespace std::chrono;
    const auto end = steady_clock::now() + milliseconds(ms);
    while (!g_stop && steady_clock::now() < end) std::this_thread::sleep_for(milliseconds(50));
}

std::vector<std::string> ListFiles(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The demonstration: the operator calls each program in DIR/calls.txt (one number a line),
// then the machine sends back each program in DIR/send/ ("{n}" in it becomes the cycle
// number). Received answers go to DIR/received/.
// The soak: ROUNDS times, call one of DIR's programs NNNN.CNC (in turn) and compare the
// answer with the file, then send a program of a random length named S<round>, kept in
// DIR/sent/ for the comparison with what the server saved. Prints the counts; status 4 when
// an answer differed or did not come.
int Soak(Line& line, const Options& o, const std::string& dir, int rounds) {
    std::vector<std::string> numbers;
    for (const std::string& name : ListFiles(dir)) {
        if (name.size() == 8 && name.compare(4, 4, ".CNC") == 0)
            numbers.push_back(name.substr(0, 4));
    }
    if (numbers.empty()) {
        std::cerr << "virtual-cnc: no NNNN.CNC in " << dir << std::endl;
        return 1;
    }
    ::mkdir((dir + "/sent").c_str(), 0777);
    std::mt19937 random(o.seed + 1);
    const auto begun = std::chrono::steady_clock::now();
    const auto over = [&] {
        return o.soakMs > 0 &&
               std::chrono::steady_clock::now() - begun > std::chrono::milliseconds(o.soakMs);
    };
    int good = 0, bad = 0, done = 0;
    for (int r = 1; (o.soakMs > 0 || r <= rounds) && !g_stop && !over(); ++r) {
        const std::string number = numbers[size_t(r) % numbers.size()];
        std::string expected, answer;
        ReadFile(dir + "/" + number + ".CNC", &expected);
        if (!o.control.empty()) expected = WithEob(expected, Eob(o));
        if (!SendCall(line, o, number)) return 1;
        const bool complete = line.Receive(&answer, o);
        if (complete && answer == expected) {
            ++good;
        } else {
            ++bad;
            WriteFile(dir + "/sent/answer-" + std::to_string(r) + ".txt", answer);
            std::cout << "virtual-cnc: round " << r << ": answer for " << number << " differs ("
                      << answer.size() << " of " << expected.size() << " bytes)" << std::endl;
        }
        const int lines = std::uniform_int_distribution<int>(5, 120)(random);
        if (o.control.empty()) {
            std::string program = "%\r\n(DFS,S" + std::to_string(r) + ",)\r\n";
            for (int k = 1; k <= lines; ++k) {
                program += "N" + std::to_string(k * 10) + " G1 X" +
                           std::to_string(std::uniform_int_distribution<int>(0, 9999)(random)) +
                           " Y" + std::to_string(r) + " F" + std::to_string(100 + k) + "\r\n";
            }
            program += "M30\r\n";
            WriteFile(dir + "/sent/S" + std::to_string(r) + ".nc", program);
            if (!line.Send(program, o)) return 1;
        } else {
            // Every third round a punch-all: a program, a subprogram and a program.
            const int count = r % 3 == 0 ? 3 : 1;
            std::vector<std::string> programs, files(static_cast<size_t>(count));
            for (int k = 1; k <= count; ++k) {
                programs.push_back(FamilyProgram(o, r, k, k == 2, k == 1 ? lines : 5, random,
                                                 &files[size_t(k - 1)]));
            }
            const Punched punched = Punch(o, programs, false);
            for (size_t k = 0; k < files.size(); ++k)
                WriteFile(dir + "/sent/" + files[k], punched.kept[k]);
            if (!line.Paced(punched.tape, o)) return 1;
        }
        done = r;
        // The server saves before the next call comes in.
        Sleep(std::uniform_int_distribution<int>(50, 250)(random));
        if (r % 50 == 0) std::cout << "virtual-cnc: soak round " << r << std::endl;
    }
    std::cout << "virtual-cnc: soak rounds " << done << std::endl;
    std::cout << "virtual-cnc: soak done: " << good << " answers whole, " << bad << " not"
              << std::endl;
    return bad == 0 ? 0 : 4;
}

int Demo(Line& line, const Options& o, const std::string& dir) {
    std::vector<std::string> numbers;
    std::ifstream calls(dir + "/calls.txt");
    for (std::string n; std::getline(calls, n);) {
        if (!n.empty() && n.back() == '\r') n.pop_back();
        if (!n.empty()) numbers.push_back(n);
    }
    const std::vector<std::string> programs = ListFiles(dir + "/send");
    ::mkdir((dir + "/received").c_str(), 0777);
    for (int cycle = 0; !g_stop && (o.cycles == 0 || cycle < o.cycles); ++cycle) {
        for (const auto& number : numbers) {
            Sleep(o.intervalMs);
            if (g_stop) break;
            std::cout << "virtual-cnc: calling program " << number << std::endl;
            if (!SendCall(line, o, number)) return 1;
            std::string answer;
            const bool complete = line.Receive(&answer, o);
            const std::string out = dir + "/received/" + number + ".txt";
            WriteFile(out, answer);
            std::cout << "virtual-cnc: received " << answer.size() << " bytes"
                      << (complete ? "" : " (no end word)") << " -> " << out << std::endl;
        }
        for (const auto& name : programs) {
            Sleep(o.intervalMs);
            if (g_stop) break;
            std::string data;
            if (!ReadFile(dir + "/send/" + name, &data)) continue;
            // "{n}" becomes the cycle number, so each round saves under a new name.
            for (size_t at; (at = data.find("{n}")) != std::string::npos;) {
                data.replace(at, 3, std::to_string(cycle + 1));
            }
            std::cout << "virtual-cnc: sending program " << name << " (" << data.size() << " bytes)"
                      << std::endl;
            if (!line.Send(data, o)) return 1;
        }
    }
    return 0;
}

}  // namespace

// The options into o and the actions in their order; false for a call that does not fit.
bool ParseArguments(int argc, char** argv, Options& o, std::vector<Action>& actions) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if (a == "--hold" || a == "--await-open") {
            actions.push_back({a.substr(2), ""});
        } else if (a == "--by-id") {
            o.byId = true;
        } else if (a == "--iso") {
            o.iso = true;
        } else if (!hasValue) {
            return false;
        } else if (a == "--device")
            o.device = value();
        else if (a == "--link")
            o.link = value();
        else if (a == "--tcp-listen")
            o.tcpListen = std::atoi(value().c_str());
        else if (a == "--rate")
            o.rate = std::atol(value().c_str());
        else if (a == "--chunk")
            o.chunk = std::max(1L, std::atol(value().c_str()));
        else if (a == "--prg-ak")
            o.prgAk = value();
        else if (a == "--ak")
            o.ak = value();
        else if (a == "--idle-ms")
            o.idleMs = std::atoi(value().c_str());
        else if (a == "--timeout-ms")
            o.timeoutMs = std::atoi(value().c_str());
        else if (a == "--interval-ms")
            o.intervalMs = std::atoi(value().c_str());
        else if (a == "--cycles")
            o.cycles = std::atoi(value().c_str());
        else if (a == "--chunk-max")
            o.chunkMax = size_t(std::max(0L, std::atol(value().c_str())));
        else if (a == "--seed")
            o.seed = unsigned(std::atol(value().c_str()));
        else if (a == "--leader")
            o.leader = size_t(std::max(0L, std::atol(value().c_str())));
        else if (a == "--eol-pause")
            o.eolPauseMs = std::atoi(value().c_str());
        else if (a == "--read-rate")
            o.readRate = std::atol(value().c_str());
        else if (a == "--stall-after")
            o.stallAfter = size_t(std::max(0L, std::atol(value().c_str())));
        else if (a == "--stall-ms")
            o.stallMs = std::atoi(value().c_str());
        else if (a == "--reset-after")
            o.resetAfter = size_t(std::max(0L, std::atol(value().c_str())));
        else if (a == "--control")
            o.control = value();
        else if (a == "--eob")
            o.eob = value();
        else if (a == "--soak-ms")
            o.soakMs = std::atoi(value().c_str());
        else if (a == "--call" || a == "--send" || a == "--send-text" || a == "--receive" ||
                 a == "--wait" || a == "--demo" || a == "--noise" || a == "--soak" ||
                 a == "--subprogram" || a == "--glitch" || a == "--vanish" || a == "--punch" ||
                 a == "--punch-all") {
            actions.push_back({a.substr(2), value()});
        } else {
            return false;
        }
    }
    if (int(!o.device.empty()) + int(!o.link.empty()) + int(o.tcpListen >= 0) != 1 ||
        (!o.control.empty() &&
         std::find(std::begin(kFamilies), std::end(kFamilies), o.control) == std::end(kFamilies))) {
        return false;
    }
    return true;
}

// Plays one action on the line; false when the line or a file failed. *status: what the
// program ends with when every action could be played.
bool Play(Line& line, Options& o, const Action& act, int* status) {
    if (act.kind == "call") {
        if (!SendCall(line, o, act.arg)) return false;
    } else if (act.kind == "punch" || act.kind == "punch-all") {
        std::vector<std::string> programs;
        std::stringstream files(act.arg);
        for (std::string file; std::getline(files, file, ',');) {
            std::string text;
            if (!ReadFile(file, &text)) {
                std::cerr << "virtual-cnc: cannot read " << file << std::endl;
                return false;
            }
            programs.push_back(text);
        }
        if (!line.Paced(Punch(o, programs, false).tape, o)) return false;
        std::cout << "virtual-cnc: punched " << programs.size() << " programs" << std::endl;
    } else if (act.kind == "send") {
        std::string data;
        if (!ReadFile(act.arg, &data)) {
            std::cerr << "virtual-cnc: cannot read " << act.arg << std::endl;
            return false;
        }
        if (!line.Send(data, o)) return false;
        std::cout << "virtual-cnc: sent " << act.arg << std::endl;
    } else if (act.kind == "send-text") {
        if (!line.Send(Unescape(act.arg), o)) return false;
    } else if (act.kind == "subprogram") {
        if (!line.Send(SubprogramText(o, act.arg), o)) return false;
    } else if (act.kind == "glitch") {
        if (!line.Raw(char(std::strtol(act.arg.c_str(), nullptr, 16)))) return false;
    } else if (act.kind == "vanish") {
        if (!line.Vanish(std::atoi(act.arg.c_str()))) return false;
    } else if (act.kind == "await-open") {
        if (!line.AwaitOpen()) return false;
    } else if (act.kind == "receive") {
        std::string data;
        const bool complete = line.Receive(&data, o);
        if (!WriteFile(act.arg, data)) {
            std::cerr << "virtual-cnc: cannot write " << act.arg << std::endl;
            return false;
        }
        std::cout << "virtual-cnc: received " << data.size() << " bytes into " << act.arg
                  << std::endl;
        if (line.WasReset()) {
            o.resetAfter = 0;  // once
        } else if (!complete) {
            *status = 3;  // kept what came, but no end word
        }
    } else if (act.kind == "noise") {
        if (!Noise(line, o, std::atoi(act.arg.c_str()))) return false;
    } else if (act.kind == "wait") {
        Sleep(std::atoi(act.arg.c_str()));
    } else if (act.kind == "hold") {
        while (!g_stop) Sleep(1000);
    } else if (act.kind == "soak") {
        const size_t colon = act.arg.find(':');
        *status = Soak(line, o, act.arg.substr(colon + 1), std::atoi(act.arg.c_str()));
    } else if (act.kind == "demo") {
        *status = Demo(line, o, act.arg);
    }
    return true;
}

int main(int argc, char** argv) {
    Options o;
    std::vector<Action> actions;
    if (!ParseArguments(argc, argv, o, actions)) {
        Usage();
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;  // no SA_RESTART: a blocked write returns and sees the stop
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    Line line;
    line.LinkThroughStableName(o.byId);
    const bool opened = o.tcpListen >= 0 ? line.ListenTcp(o.tcpListen)
                        : o.link.empty() ? line.OpenDevice(o.device)
                                         : line.MakePty(o.link);
    if (!opened) return 1;

    int status = 0;
    for (const auto& act : actions) {
        if (g_stop) break;
        if (!Play(line, o, act, &status)) return 1;
    }
    return status;
}
