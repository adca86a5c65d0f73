// The project's zksd test server for the client tests: started on a free
// port with a request log, stopped when the fixture goes out of scope.
#pragma once
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "libzksd/zksd_cli.h"
#include "net/net_test_util.h"
#include "test_util.h"

namespace zksd_test {

// One "request" line of the server's log.
struct logged {
    int cmd = -1;
    int code = -1; // ioctl channels only
    std::string text;
    std::string line;
};

// A JSON string value after key in line (\t, \n, \\ and \" undone).
inline std::string json_str(const std::string &line, const std::string &key)
{
    std::string pat = "\"" + key + "\": \"";
    size_t p = line.find(pat);
    if (p == std::string::npos)
        return "";
    std::string out;
    for (p += pat.size(); p < line.size() && line[p] != '"'; p++) {
        if (line[p] == '\\' && p + 1 < line.size()) {
            char c = line[++p];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else {
            out += line[p];
        }
    }
    return out;
}

inline int json_int(const std::string &line, const std::string &key)
{
    std::string pat = "\"" + key + "\": ";
    size_t p = line.find(pat);
    return p == std::string::npos ? -1 : atoi(line.c_str() + p + pat.size());
}

struct server {
    zk_test::temp_dir root{"zk_zksd"};
    zk_test::temp_dir logdir{"zk_zksdlog"};
    std::string log;
    std::unique_ptr<net_test::child> proc;
    int port = 0;
    explicit server(std::vector<std::string> extra = {})
    {
        log = logdir.path + "/req.log";
        std::string py = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        std::vector<std::string> argv = {py,     std::string(ZK_SOURCE_DIR) + "/tests/zksd_server/zksd_server.py",
                                         "--root", root.path,
                                         "--log",  log};
        argv.insert(argv.end(), extra.begin(), extra.end());
        proc = std::make_unique<net_test::child>(argv);
        if (proc->wait_for("PORT ")) {
            std::string out = proc->output();
            port = atoi(out.c_str() + out.find("PORT ") + 5);
        }
        // Port 0 would let the URL fall back to the default port.
        if (port <= 0)
            ADD_FAILURE() << "the test server did not start: " << proc->output();
    }
    std::string url(const std::string &query = "", const std::string &user = "u:p") const
    {
        return "zkp://" + user + "@127.0.0.1:" + std::to_string(port) + "/?read_timeout=3&connect_timeout=2" +
               (query.empty() ? "" : "&" + query);
    }
    std::vector<logged> requests() const
    {
        std::vector<logged> v;
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("\"event\": \"request\"") == std::string::npos)
                continue;
            logged l;
            l.cmd = json_int(line, "cmd");
            l.code = json_int(line, "code");
            l.text = json_str(line, "text");
            l.line = line;
            v.push_back(l);
        }
        return v;
    }
    size_t count(int cmd, size_t from = 0) const
    {
        size_t n = 0;
        auto v = requests();
        for (size_t i = from; i < v.size(); i++)
            n += v[i].cmd == cmd;
        return n;
    }
    size_t size() const { return requests().size(); }
    logged last() const
    {
        auto v = requests();
        return v.empty() ? logged{} : v.back();
    }
    std::string path(const std::string &rel) const { return root.path + "/" + rel; }
};

// A connected client context, exited when the fixture goes out of scope.
struct client {
    vperror_t err{};
    cli_ctx *c = nullptr;
    explicit client(const std::string &url)
    {
        zksd_cli_init();
        c = zksd_cli_connect(url.c_str(), &err);
    }
    ~client()
    {
        if (c)
            zksd_cli_exit(c);
    }
    client(const client &) = delete;
    client &operator=(const client &) = delete;
    cli_ctx *operator->() const { return c; }
};

} // namespace zksd_test
