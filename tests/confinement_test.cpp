// A real run is confined while it waits for its input.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.hpp"

namespace {

TEST(Confinement, ActiveWhileReadingStdin)
{
    temp_dir home;
    std::string home_env = "HOME=" + home.path;
    char *argv[] = {const_cast<char *>("velk"), const_cast<char *>("x"),
                    nullptr};
    char *envp[] = {const_cast<char *>(home_env.c_str()),
                    const_cast<char *>("SSH_CLIENT=10.0.0.5 1 22"), nullptr};
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(in[0]);
        close(in[1]);
        execve(velk_binary(), argv, envp);
        _exit(120);
    }
    close(in[0]);

    // velk blocks in read once it is confined; until then the status
    // still shows the parent's settings.
    std::string status;
    std::string path = "/proc/" + std::to_string(pid) + "/status";
    for (int i = 0; i < 500; i++) {
        status = read_file(path);
        if (status.find("Seccomp:\t2") != std::string::npos)
            break;
        usleep(10000);
    }
    EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos) << status;
    EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos) << status;

    ASSERT_EQ(write(in[1], "data", 4), 4);
    close(in[1]);
    int st;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(read_file(home.path + "/incoming/10.0.0.5/x"), "data");
}

}  // namespace
