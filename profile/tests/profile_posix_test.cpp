// The Linux file layer: what a write guarantees on disk. Failures are caused
// for real (missing folder, permissions as an ordinary user, a file-size
// limit in a child process), and every failing row checks that the original
// file is byte-identical and that no temporary file is left behind.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "private_profile.h"
#include "test_support.h"
#include "write_row.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// The account root uses to act as an ordinary user ("nobody").
constexpr uid_t kOrdinaryUid = 65534;
constexpr gid_t kOrdinaryGid = 65534;

// A scratch folder an ordinary user may work in too.
class TempDir : public test_support::ScratchFolder {
public:
    TempDir() : ScratchFolder("profile-file-") { ::chmod(path().c_str(), 0777); }
    std::string path() const { return ScratchFolder::path().string(); }
};

void put_file(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
    test_support::write_file(path, bytes);
    ::chmod(path.c_str(), mode);
}

using test_support::file_bytes;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Every name under a folder, recursively.
std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec)) {
        names.insert(e.path().string());
    }
    return names;
}

struct ChildLimits {
    bool ordinary_user = false;
    rlim_t file_size_limit = RLIM_INFINITY;
};

// Runs fn in a child process under the given limits; returns its result, or
// -1 when the child could not run it.
int in_child(const ChildLimits& limits, const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (limits.ordinary_user && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kOrdinaryGid) != 0 ||
                ::setuid(kOrdinaryUid) != 0) {
                ::_exit(250);
            }
        }
        if (limits.file_size_limit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN);  // the write gets EFBIG instead of a signal
            const rlimit rl{limits.file_size_limit, limits.file_size_limit};
            if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) ::_exit(251);
        }
        ::_exit(fn());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) >= 250 ? -1 : WEXITSTATUS(status);
}

// ---------------------------------------------------------------- failing writes

struct FailRow {
    const char* name;
    std::function<void(const TempDir&)> setup;
    std::string file;      // written, relative to the folder ("" = the empty name)
    std::string original;  // a file whose bytes must survive ("" = none)
    int error;             // errno after the write
    ChildLimits limits = {};
};

void PrintTo(const FailRow& r, std::ostream* os) {
    *os << r.name;
}

class FailedWrite : public ::testing::TestWithParam<FailRow> {};

TEST_P(FailedWrite, ReturnsZeroAndLeavesEverythingAsItWas) {
    const FailRow& r = GetParam();
    TempDir dir;
    r.setup(dir);
    const std::set<std::string> before = listing(dir.path());
    const std::string original_bytes = r.original.empty() ? "" : file_bytes(dir / r.original);
    const mode_t original_mode = r.original.empty() ? 0 : mode_of(dir / r.original);

    const std::string target = r.file.empty() ? "" : dir / r.file;
    const int error = in_child(r.limits, [&] {
        // A long value makes the new file larger than the size limit.
        errno = 0;
        const int ret =
            WritePrivateProfileStringA("S", "k", std::string(100000, 'n').c_str(), target.c_str());
        return ret == 0 ? errno : 200;
    });
    EXPECT_EQ(error, r.error) << std::strerror(r.error) << " expected (200: the write succeeded)";
    EXPECT_EQ(listing(dir.path()), before) << "a file was created or left behind";
    if (!r.original.empty()) {
        EXPECT_EQ(file_bytes(dir / r.original), original_bytes);
        EXPECT_EQ(mode_of(dir / r.original), original_mode);
    }
}

const std::string kOriginal = "; keep me\r\n[S]\r\nk=old\r\n"s + std::string(40000, 'x') + "\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, FailedWrite,
    ::testing::Values(
        FailRow{"MissingFolder", [](const TempDir&) {}, "nodir/t.ini", "", ENOENT},
        FailRow{"EmptyName", [](const TempDir&) {}, "", "", ENOENT},
        FailRow{"FileIsAFolder", [](const TempDir& d) { fs::create_directory(d / "t.ini"); },
                "t.ini", "", EISDIR},
        FailRow{"FolderWithTrailingSlash",
                [](const TempDir& d) { fs::create_directory(d / "t.ini"); }, "t.ini/", "", EISDIR},
        FailRow{"FileWithTrailingSlash", [](const TempDir& d) { put_file(d / "t.ini", kOriginal); },
                "t.ini/", "t.ini", ENOTDIR},
        FailRow{"Fifo", [](const TempDir& d) { ::mkfifo((d / "t.ini").c_str(), 0666); }, "t.ini",
                "", EINVAL},
        FailRow{"LinkLoop",
                [](const TempDir& d) {
                    fs::create_symlink("b.ini", d / "a.ini");
                    fs::create_symlink("a.ini", d / "b.ini");
                },
                "a.ini", "", ELOOP},
        FailRow{"ReadOnlyFile",
                [](const TempDir& d) { put_file(d / "t.ini", kOriginal, 0444); },
                "t.ini",
                "t.ini",
                EACCES,
                {true, RLIM_INFINITY}},
        FailRow{"WriteOnlyFileCannotBeKept",
                [](const TempDir& d) { put_file(d / "t.ini", kOriginal, 0222); },
                "t.ini",
                "t.ini",
                EACCES,
                {true, RLIM_INFINITY}},
        FailRow{"ReadOnlyFolderNewFile",
                [](const TempDir& d) {
                    fs::create_directory(d / "ro");
                    ::chmod((d / "ro").c_str(), 0555);
                },
                "ro/new.ini",
                "",
                EACCES,
                {true, RLIM_INFINITY}},
        FailRow{"FileSizeLimit",
                [](const TempDir& d) { put_file(d / "t.ini", kOriginal); },
                "t.ini",
                "t.ini",
                EFBIG,
                {false, 65536}},
        FailRow{"FileSizeLimitThroughLink",
                [](const TempDir& d) {
                    put_file(d / "real.ini", kOriginal);
                    fs::create_symlink("real.ini", d / "link.ini");
                },
                "link.ini",
                "real.ini",
                EFBIG,
                {false, 65536}}),
    test_support::RowName());

// ---------------------------------------------------------------- successful writes keep bytes

class KeptBytes : public ::testing::TestWithParam<WriteRow> {};

TEST_P(KeptBytes, OnlyTheNeededBytesChange) {
    const WriteRow& r = GetParam();
    TempDir dir;
    const std::string path = dir / "t.ini";
    if (!r.before.empty()) put_file(path, r.before);
    EXPECT_EQ(WritePrivateProfileStringA(r.section, r.key, r.value.c_str(), path.c_str()), 1);
    EXPECT_EQ(file_bytes(path), r.after);
    EXPECT_EQ(listing(dir.path()), std::set<std::string>{path}) << "temporary file left";
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeptBytes,
    ::testing::Values(
        WriteRow{"NewFileUsesCrLf", "", "S", "k", "v", "[S]\r\nk=v\r\n"},
        WriteRow{"NulAndHighBytesKept", "[S]\r\n; \0\xFF\x80\x81\r\nk=\xE9\0tail\r\nj=1\r\n"s, "S",
                 "j", "2", "[S]\r\n; \0\xFF\x80\x81\r\nk=\xE9\0tail\r\nj=2\r\n"s},
        WriteRow{"CommentsSpacingAndCaseKept",
                 "# top\r\n\r\n [ VeStReL ] ; note\r\n  LptPort =  1 \r\n\r\n", "Vestrel",
                 "lptport", "2", "# top\r\n\r\n [ VeStReL ] ; note\r\n  LptPort =  2 \r\n\r\n"},
        WriteRow{"MegabyteValue", "[S]\r\nk=1\r\n", "S", "k", std::string(1 << 20, 'v'),
                 "[S]\r\nk=" + std::string(1 << 20, 'v') + "\r\n"},
        WriteRow{"ValueEndingInLineFeed", "[Vestrel]\r\nLptPort=1\r\n", "Vestrel", "FailureReason",
                 "port = 1, addr = 888\n",
                 "[Vestrel]\r\nLptPort=1\r\nFailureReason=port = 1, addr = 888\n\r\n"},
        WriteRow{"InnerLineBreaksStayOnTheLine", "[S]\r\nx=1\r\n", "S", "k",
                 "a\nLptPort=2\n[T]\r\nb=1\rc\n", "[S]\r\nx=1\r\nk=a LptPort=2 [T] b=1 c\n\r\n"}),
    test_support::RowName());

// A section or key name with a line break would split its line into entries
// nobody wrote: such a write is refused and changes nothing.
TEST(FileLayer, NamesWithLineBreaksAreRefused) {
    const struct {
        const char* section;
        const char* key;
    } rows[] = {{"S\nT", "k"}, {"S", "k\nx=1"}, {"S", "k\r"}, {"S\r\n[T]", "k"}};
    TempDir dir;
    const std::string path = dir / "t.ini";
    put_file(path, kOriginal);
    for (const auto& r : rows) {
        errno = 0;
        EXPECT_EQ(WritePrivateProfileStringA(r.section, r.key, "v", path.c_str()), 0) << r.key;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(file_bytes(path), kOriginal);
    }
    EXPECT_EQ(listing(dir.path()).size(), 1u);
}

// ---------------------------------------------------------------- file identity

TEST(FileLayer, KeepsPermissionBits) {
    TempDir dir;
    const std::string path = dir / "t.ini";
    put_file(path, "[S]\r\nk=1\r\n", 0640);
    ASSERT_EQ(WritePrivateProfileStringA("S", "k", "2", path.c_str()), 1);
    EXPECT_EQ(mode_of(path) & 07777, 0640u);
    EXPECT_EQ(file_bytes(path), "[S]\r\nk=2\r\n");
}

TEST(FileLayer, NewFileFollowsTheUmask) {
    TempDir dir;
    const mode_t old = ::umask(027);
    const int ret = WritePrivateProfileStringA("S", "k", "v", (dir / "t.ini").c_str());
    ::umask(old);
    ASSERT_EQ(ret, 1);
    EXPECT_EQ(mode_of(dir / "t.ini") & 07777, 0640u);
}

TEST(FileLayer, WritesThroughSymbolicLinksAndKeepsThem) {
    TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_directory(dir / "links");
    put_file(dir / "real/t.ini", "[S]\nk=1\n");
    fs::create_symlink("../real/t.ini", dir / "links/hop.ini");
    fs::create_symlink("hop.ini", dir / "links/t.ini");  // a chain of two links
    ASSERT_EQ(WritePrivateProfileStringA("S", "k", "2", (dir / "links/t.ini").c_str()), 1);
    EXPECT_TRUE(S_ISLNK(mode_of(dir / "links/t.ini")));
    EXPECT_EQ(fs::read_symlink(dir / "links/t.ini"), "hop.ini");
    EXPECT_EQ(fs::read_symlink(dir / "links/hop.ini"), "../real/t.ini");
    EXPECT_EQ(file_bytes(dir / "real/t.ini"), "[S]\nk=2\n");
    const std::set<std::string> expected{dir / "real", dir / "real/t.ini", dir / "links",
                                         dir / "links/hop.ini", dir / "links/t.ini"};
    EXPECT_EQ(listing(dir.path()), expected);
}

TEST(FileLayer, DanglingLinkCreatesItsTarget) {
    TempDir dir;
    fs::create_symlink("made.ini", dir / "t.ini");
    ASSERT_EQ(WritePrivateProfileStringA("S", "k", "v", (dir / "t.ini").c_str()), 1);
    EXPECT_TRUE(S_ISLNK(mode_of(dir / "t.ini")));
    EXPECT_EQ(file_bytes(dir / "made.ini"), "[S]\r\nk=v\r\n");
}

TEST(FileLayer, SameValueLeavesTheFileUntouched) {
    TempDir dir;
    const std::string path = dir / "t.ini";
    put_file(path, "[S]\n k = v \n");
    const timespec old_times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
    struct stat before {};
    ::stat(path.c_str(), &before);
    ASSERT_EQ(WritePrivateProfileStringA("S", "K", "v", path.c_str()), 1);
    struct stat after {};
    ::stat(path.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
    EXPECT_EQ(after.st_mtim.tv_sec, 1000000);
}

// A writer that waited for the lock while another writer replaced the file
// must write into the new file: having locked the old one, it finds that the
// name now leads elsewhere and starts again. (Writing into what it had
// locked would lose the other writer's update.)
TEST(FileLayer, WriterWaitingForTheLockFollowsAReplacement) {
    TempDir dir;
    const std::string path = dir / "t.ini";
    put_file(path, "[S]\r\nold=1\r\n");
    const int old_file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(old_file, 0);
    ASSERT_EQ(::flock(old_file, LOCK_EX), 0);
    int result = -1;
    std::thread writer([&] { result = WritePrivateProfileStringA("S", "k", "v", path.c_str()); });
    // The writer opens the old file and waits for its lock; meanwhile the
    // file is replaced, as another writer does, and only then unlocked.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    put_file(dir / "other.ini", "[S]\r\nnew=2\r\n");
    ASSERT_EQ(::rename((dir / "other.ini").c_str(), path.c_str()), 0);
    ::close(old_file);
    writer.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(file_bytes(path), "[S]\r\nnew=2\r\nk=v\r\n");
}

TEST(FileLayer, LongFileNameGetsATemporaryBesideIt) {
    TempDir dir;
    const std::string path = dir / std::string(250, 'n');
    ASSERT_EQ(WritePrivateProfileStringA("S", "k", "1", path.c_str()), 1);
    ASSERT_EQ(WritePrivateProfileStringA("S", "k", "2", path.c_str()), 1);
    EXPECT_EQ(file_bytes(path), "[S]\r\nk=2\r\n");
    EXPECT_EQ(listing(dir.path()).size(), 1u);
}

TEST(FileLayer, NamesAreUsedAsGiven) {
    TempDir dir;
    char here[4096];
    ASSERT_NE(::getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    fs::create_directory("sub");
    const int bare = WritePrivateProfileStringA("S", "k", "bare", "t.ini");
    const int backslash = WritePrivateProfileStringA("S", "k", "bs", "sub\\t.ini");
    ASSERT_EQ(::chdir(here), 0);
    EXPECT_EQ(bare, 1);
    EXPECT_EQ(backslash, 1);
    EXPECT_EQ(file_bytes(dir / "t.ini"), "[S]\r\nk=bare\r\n");
    EXPECT_EQ(file_bytes(dir / "sub\\t.ini"), "[S]\r\nk=bs\r\n");
    EXPECT_FALSE(fs::exists(dir / "sub/t.ini"));
}

// ---------------------------------------------------------------- reads of odd files

struct OddRow {
    const char* name;
    std::function<void(const TempDir&)> setup;
    bool ordinary_user;
    std::string file = "t.ini";  // relative to the folder ("" = the empty name)
};

void PrintTo(const OddRow& r, std::ostream* os) {
    *os << r.name;
}

class OddFileRead : public ::testing::TestWithParam<OddRow> {};

TEST_P(OddFileRead, GivesTheDefaultAndCreatesNothing) {
    const OddRow& r = GetParam();
    TempDir dir;
    r.setup(dir);
    const std::set<std::string> before = listing(dir.path());
    const std::string path = r.file.empty() ? "" : dir / r.file;
    const int result = in_child({r.ordinary_user, RLIM_INFINITY}, [&] {
        char buffer[16];
        const uint32_t n =
            GetPrivateProfileStringA("S", "k", "dflt", buffer, sizeof buffer, path.c_str());
        const unsigned v = GetPrivateProfileIntA("S", "k", 42, path.c_str());
        return (n == 4 && std::string(buffer) == "dflt" && v == 42) ? 7 : 1;
    });
    EXPECT_EQ(result, 7);
    EXPECT_EQ(listing(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OddFileRead,
    ::testing::Values(
        OddRow{"Missing", [](const TempDir&) {}, false},
        OddRow{"Directory", [](const TempDir& d) { fs::create_directory(d / "t.ini"); }, false},
        OddRow{"Fifo", [](const TempDir& d) { ::mkfifo((d / "t.ini").c_str(), 0666); }, false},
        OddRow{"Unreadable", [](const TempDir& d) { put_file(d / "t.ini", "[S]\nk=1\n", 0200); },
               true},
        OddRow{"MissingFolder", [](const TempDir&) {}, false, "nodir/t.ini"},
        OddRow{"EmptyName", [](const TempDir&) {}, false, ""},
        OddRow{"FileWithTrailingSlash",
               [](const TempDir& d) { put_file(d / "t.ini", "[S]\nk=1\n"); }, false, "t.ini/"},
        OddRow{"LinkLoop", [](const TempDir& d) { fs::create_symlink("t.ini", d / "t.ini"); },
               false},
        OddRow{"Device", [](const TempDir& d) { fs::create_symlink("/dev/null", d / "t.ini"); },
               false}),
    test_support::RowName());

}  // namespace
