// Helpers of the connection tests: scripted peers on loopback (a thread
// that accepts and runs a script per connection), child processes of real
// peers (openssl, tinyproxy, danted, python) stopped when the test ends,
// ports that refuse connections, and ports for peers that bind their own.
#pragma once
#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace net_test {

// Every connection asks the proxy choice first: a proxy set on the machine
// must not carry the tests' loopback connections. Cleared once, before any
// test runs; the proxy tests set their own.
inline const bool k_no_machine_proxy = [] {
    unsetenv("http_proxy");
    unsetenv("ZK_PROXY_FILE");
    return true;
}();


// Peers that go away must not end the test process: the program ignores
// SIGPIPE at start-up (os_socket_init_env), and so do the tests.
inline const bool k_sigpipe_ignored = (signal(SIGPIPE, SIG_IGN), true);

// A port on 127.0.0.1 that refuses connections for as long as this lives:
// a socket bound to it, never listening, keeps everything else off it.
class refused_port {
  public:
    refused_port()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~refused_port()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    refused_port(const refused_port &) = delete;
    refused_port &operator=(const refused_port &) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A port for a peer that takes its port from its command line: free when it
// is handed out, but anything may take it before the peer binds it, so the
// caller starts the peer and checks with listening_in_group, trying again
// with a new port when another process has it.
inline int candidate_port()
{
    refused_port p;
    return p.port();
}

// Whether 127.0.0.1:port (or *:port) is listened on by a process of the
// process group pgid (a peer started by `child` leads its own group).
inline bool listening_in_group(int port, pid_t pgid)
{
    std::vector<std::string> inodes;
    FILE *f = fopen("/proc/net/tcp", "r");
    if (!f)
        return false;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        unsigned addr, lport, st;
        char inode[32];
        if (sscanf(line, " %*d: %8x:%4x %*8x:%*4x %2x %*s %*s %*s %*s %*s %31s", &addr, &lport, &st, inode) == 4 &&
            int(lport) == port && st == 0x0A && (addr == 0 || addr == htonl(INADDR_LOOPBACK)))
            inodes.push_back("socket:[" + std::string(inode) + "]");
    }
    fclose(f);
    if (inodes.empty())
        return false;
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (dirent *e = readdir(proc)) {
        const pid_t pid = pid_t(atoi(e->d_name));
        if (pid <= 0 || getpgid(pid) != pgid)
            continue;
        const std::string fds = "/proc/" + std::string(e->d_name) + "/fd";
        DIR *d = opendir(fds.c_str());
        while (d && !found) {
            dirent *fe = readdir(d);
            if (!fe)
                break;
            char target[64];
            const ssize_t n = readlink((fds + "/" + fe->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = '\0';
            for (const std::string &i : inodes)
                found = found || i == target;
        }
        if (d)
            closedir(d);
        if (found)
            break;
    }
    closedir(proc);
    return found;
}

// Blocking helpers for scripts.
inline std::string read_n(int fd, size_t n, int timeout_ms = 5000)
{
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0 || poll(&p, 1, left) <= 0)
            break;
        char buf[4096];
        const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0)
            break;
        out.append(buf, size_t(r));
    }
    return out;
}

// Everything until the peer closes or nothing comes for timeout_ms.
inline std::string read_until_quiet(int fd, int timeout_ms)
{
    std::string out;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char buf[4096];
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        out.append(buf, size_t(r));
    }
    return out;
}

inline void write_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        const ssize_t r = write(fd, s.data() + done, s.size() - done);
        if (r <= 0)
            return;
        done += size_t(r);
    }
}

inline std::string hex(const std::string &s)
{
    static const char d[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// A listener on 127.0.0.1 whose thread accepts connections and runs the
// script on each (blocking descriptor, closed after the script). Stops and
// joins when it goes out of scope.
class tcp_peer {
  public:
    using script = std::function<void(int fd, int index)>;
    explicit tcp_peer(script s) : script_(std::move(s))
    {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(lfd_, 16);
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        th_ = std::thread([this] { run(); });
    }
    ~tcp_peer()
    {
        stop_ = true;
        th_.join();
        close(lfd_);
    }
    tcp_peer(const tcp_peer &) = delete;
    tcp_peer &operator=(const tcp_peer &) = delete;
    int port() const { return port_; }
    int accepted() const { return accepted_; }

  private:
    void run()
    {
        while (!stop_) {
            pollfd p{lfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0)
                continue;
            const int idx = accepted_++;
            script_(fd, idx);
            close(fd);
        }
    }
    script script_;
    int lfd_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::thread th_;
};

// A child process with its standard output and error in one pipe. Ended
// (SIGTERM, then SIGKILL) and reaped when it goes out of scope.
class child {
  public:
    explicit child(const std::vector<std::string> &argv, const std::string &dir = "")
    {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_adddup2(&fa, p[1], 2);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        if (!dir.empty())
            posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
        posix_spawnattr_t at;
        posix_spawnattr_init(&at);
        // Own process group, so that ending it ends what it forks too.
        posix_spawnattr_setpgroup(&at, 0);
        sigset_t none, dflt;
        sigemptyset(&none);
        sigfillset(&dflt);
        posix_spawnattr_setsigmask(&at, &none);
        posix_spawnattr_setsigdefault(&at, &dflt);
        posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawnp(&pid_, args[0], &fa, &at, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&at);
        close(p[1]);
        out_fd_ = p[0];
    }
    ~child() { stop(); }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Reads output until it holds text; false after timeout_ms. The default
    // is long: a Python peer can take seconds to start on a loaded machine,
    // and a wait that finds its text returns at once.
    bool wait_for(const std::string &text, int timeout_ms = 60000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out_.find(text) == std::string::npos) {
            const int left =
                int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            if (left <= 0 || !pump(left))
                return false;
        }
        return true;
    }
    // Reads what is there now (waiting up to ms for the first bytes).
    const std::string &output(int ms = 0)
    {
        while (pump(ms))
            ms = 0;
        return out_;
    }
    void stop()
    {
        if (pid_ > 0) {
            const pid_t group = pid_;
            kill(-group, SIGTERM);
            for (int i = 0; i < 200 && pid_ > 0; i++) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                    pid_ = -1;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (pid_ > 0) {
                kill(-group, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
            kill(-group, SIGKILL); // whatever the leader left in its group
        }
        if (out_fd_ >= 0) {
            close(out_fd_);
            out_fd_ = -1;
        }
    }

  private:
    bool pump(int ms)
    {
        if (out_fd_ < 0)
            return false;
        pollfd p{out_fd_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        char buf[4096];
        const ssize_t r = read(out_fd_, buf, sizeof buf);
        if (r <= 0)
            return false;
        out_.append(buf, size_t(r));
        return true;
    }
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string out_;
};

// Waits until something accepts on 127.0.0.1:port.
inline bool wait_listening(int port, int timeout_ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        close(fd);
        if (ok)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Starts a peer that listens on the port its command line names: args(port)
// gives that command line (and writes what the peer reads). A port another
// process took first is given up for a new one, a few times. The peer with
// *port set, or nullptr (*port 0) when it never listened.
inline std::unique_ptr<child> start_listening_peer(const std::function<std::vector<std::string>(int)> &args,
                                                   int *port, int timeout_ms = 30000)
{
    *port = 0;
    for (int attempt = 0; attempt < 5; attempt++) {
        const int p = candidate_port();
        auto peer = std::make_unique<child>(args(p));
        if (peer->running() && wait_listening(p, timeout_ms) && listening_in_group(p, peer->pid())) {
            *port = p;
            return peer;
        }
    }
    return nullptr;
}

} // namespace net_test
