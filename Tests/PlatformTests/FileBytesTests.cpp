// Whole runs of bytes through a file descriptor: every byte written however the kernel splits
// the writes, reads that stop at their limit, and failures reported by their error number.

#include "Platform/IO/FileBytes.h"
#include "Platform/IO/FileHandle.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

namespace {

using norvel::test::TemporaryDirectory;
using platform::FileHandle;

// `size` bytes that differ from block to block, so a lost or repeated block shows.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 65536) & 0xff);
    return bytes;
}

TEST(FileBytes, ReadsStopAtTheirLimitAndAppendToWhatIsThere) {
    struct Case {
        std::size_t size;
        std::size_t limit;
        int error;
    };
    // Sizes on both sides of a read block (64 KiB) and of the limit.
    const Case cases[] = {
        {0, 0, 0},           {1, 0, EFBIG},           {65536, 65536, 0}, {65537, 65536, EFBIG},
        {200000, 200000, 0}, {200001, 200000, EFBIG},
    };
    TemporaryDirectory dir;
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + ", limit " + std::to_string(c.limit));
        const std::string bytes = pattern(c.size);
        std::ofstream(dir / "file", std::ios::binary | std::ios::trunc) << bytes;
        const FileHandle file(::open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC));
        std::string content = "kept:";
        EXPECT_EQ(platform::readAll(file.get(), content, c.limit), c.error);
        if (c.error == 0) {
            EXPECT_EQ(content, "kept:" + bytes);
        }
    }

    // A folder opens, but its reads fail: an error, never an empty file.
    const FileHandle folder(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
    std::string content;
    EXPECT_EQ(platform::readAll(folder.get(), content), EISDIR);
}

TEST(FileBytes, WritesDeliverEveryByteOrReportWhereTheyStopped) {
    // A pipe holds far less than the buffer and its reader is slow, while a timer interrupts the
    // writer every millisecond: writes come back short or interrupted, and still every byte
    // arrives, in order.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    FileHandle readEnd(ends[0]);
    FileHandle writeEnd(ends[1]);
    const std::string bytes = pattern(1 << 20);
    std::string received;
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};  // no SA_RESTART: a blocked write returns early
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGALRM, &interrupt, &previous), 0);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &alarm, nullptr), 0);
    std::thread reader([&] {
        char block[4096];
        for (ssize_t count; (count = ::read(readEnd.get(), block, sizeof block)) != 0;) {
            if (count > 0) received.append(block, std::size_t(count));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    ASSERT_EQ(::pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr), 0);
    itimerval every{{0, 1000}, {0, 1000}};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    EXPECT_EQ(platform::writeAll(writeEnd.get(), bytes.data(), bytes.size()), 0);
    every = {};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    ::sigaction(SIGALRM, &previous, nullptr);
    writeEnd.reset();
    reader.join();
    EXPECT_EQ(received, bytes);

    TemporaryDirectory dir;
    std::ofstream(dir / "read-only") << "x";
    const FileHandle readOnly(::open((dir / "read-only").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(platform::writeAll(readOnly.get(), "y", 1), EBADF);

    // Under a file size limit the first write comes back short and the next one fails: the
    // failure is reported, and the file holds exactly the bytes before the limit.
    constexpr rlim_t limit = 100000;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_TRUE(saved.rlim_cur == RLIM_INFINITY || saved.rlim_cur > limit);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved;
    lowered.rlim_cur = limit;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    int error = 0;
    {
        const FileHandle file(::open((dir / "limited").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        error = platform::writeAll(file.get(), bytes.data(), 2 * limit);
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(error, EFBIG);
    std::string written;
    const FileHandle file(::open((dir / "limited").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(platform::readAll(file.get(), written), 0);
    EXPECT_EQ(written, bytes.substr(0, limit));
}

}  // namespace
