// Test helper: collects what a piece of code writes to the standard error
// stream (or output) by pointing the descriptor at a temporary file.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class fd_capture {
  public:
    explicit fd_capture(int fd = 2) : fd_(fd)
    {
        fflush(fd == 2 ? stderr : stdout);
        char name[] = "/tmp/zk_capXXXXXX";
        tmp_ = mkstemp(name);
        unlink(name);
        saved_ = dup(fd_);
        dup2(tmp_, fd_);
    }
    ~fd_capture() { stop(); }
    // Restores the descriptor and returns everything written meanwhile.
    std::string stop()
    {
        if (saved_ >= 0) {
            fflush(fd_ == 2 ? stderr : stdout);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
            lseek(tmp_, 0, SEEK_SET);
            char buf[4096];
            ssize_t n;
            while ((n = read(tmp_, buf, sizeof(buf))) > 0)
                text_.append(buf, (size_t)n);
            close(tmp_);
        }
        return text_;
    }

  private:
    int fd_;
    int tmp_ = -1;
    int saved_ = -1;
    std::string text_;
};
