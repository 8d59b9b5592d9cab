#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

extern char** environ;

namespace {

// A program of ours whose standard output's reader has gone away (a parent that served
// the system log pipe and ended) keeps running: its writes fail, it is not killed by
// SIGPIPE, even when its parent left SIGPIPE at the default.
TEST(BrokenPipeTest, AProgramOfOursOutlivesItsOutputsReader) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ASSERT_EQ(posix_spawn_file_actions_init(&actions), 0);
    ASSERT_EQ(posix_spawnattr_init(&attributes), 0);
    ASSERT_EQ(posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO), 0);
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ASSERT_EQ(posix_spawnattr_setsigdefault(&attributes, &pipeSignal), 0);
    ASSERT_EQ(posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF), 0);
    char program[] = OSMEL_SYSTEM_LOG_HELPER;
    char* arguments[] = {program, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program, &actions, &attributes, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    // It found no parent's pipe to take, and said so through its status.
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
