#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <dirent.h>
#include <sched.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>
#include <random>
#include <set>
#include <stop_token>
#include <thread>

#include "options.h"
#include "run_tool.h"
#include "scramble.h"

namespace {

const std::string name = "encrypt_video_fs";

// What the view shows of a file: the tool's output without its zero fill,
// so that a view of the view gives the file back, size and all.
std::string
viewed(const std::string &input, const char *password = "secret")
{
	return scrambled(input, password).substr(0, input.size());
}

std::string
view_path()
{
	return tool_path("ENCRYPT_VIDEO_FS", VIEW_PATH);
}

bool
is_mounted(const std::string &path)
{
	struct stat here {};
	struct stat parent {};

	return stat(path.c_str(), &here) == 0 &&
	    stat((path + "/..").c_str(), &parent) == 0 &&
	    here.st_dev != parent.st_dev;
}

std::vector<std::string>
names_in(const std::string &dir)
{
	std::vector<std::string> names;

	for (const auto &entry : std::filesystem::directory_iterator(dir))
		names.push_back(entry.path().filename());
	std::sort(names.begin(), names.end());
	return names;
}

// Reads with O_DIRECT, which the kernel hands to the view as asked, at
// any offset and length, where cached reads come in whole pages.
std::string
read_range(const std::string &path, off_t offset, std::size_t length)
{
	const int fd = open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
	std::string got(length, '\0');
	const ssize_t n = pread(fd, got.data(), length, offset);
	close(fd);
	got.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
	return n < 0 ? "error: " + std::string(std::strerror(errno)) : got;
}

tool_result
stop(const std::string &mount_point, const char *lazily = "-q")
{
	return run_tool({"fusermount3", "-u", lazily, mount_point},
	    {.program = "fusermount3"});
}

}

class View : public ::testing::Test {
protected:
	void
	SetUp() override
	{
		const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
		if (fd < 0)
			GTEST_SKIP() << "cannot mount a view here: "
			    "/dev/fuse: " << std::strerror(errno);
		close(fd);
		// What a test mounts, it must be able to unmount.
		if (run_tool({"sh", "-c", "command -v fusermount3"},
		    {.program = "sh"}).status != 0)
			GTEST_SKIP() << "cannot unmount a view here: no "
			    "fusermount3 (install fuse3)";
	}

	// Whatever the test left, failed or not; a view bound inside it
	// goes first.  Then each daemon mount() started must have ended as
	// unmounting ends it: with 0, having said nothing, as a sanitizer
	// would say what it found.
	void
	TearDown() override
	{
		for (auto at = mounts.rbegin(); at != mounts.rend(); at++) {
			if (is_mounted(*at))
				stop(*at, "-z");
			// And what only root mounts: a bind mount is on the
			// device of the folder it is in.
			if (geteuid() == 0)
				umount2(at->c_str(), MNT_DETACH);
		}
		for (const auto &[at, process] : daemons) {
			const tool_result ended = finish_tool(process);
			EXPECT_EQ(ended.status, 0) << at;
			EXPECT_EQ(ended.err, "") << at;
		}
	}

	// A new mount point, unmounted when the test ends.
	std::string
	mount_point()
	{
		mounts.push_back(make_temp_dir());
		return mounts.back();
	}

	// Serves a view of dir at at in the foreground, the password on the
	// first line of a file, once it is mounted or has died.
	static tool_process
	serve(const std::string &dir, const std::string &at,
	    const std::vector<std::string> &more = {},
	    const std::vector<std::string> &env = {},
	    const std::string &password = "secret")
	{
		const std::string pass = make_temp_dir() + "/pass";
		write_file(pass, password + "\n");
		std::vector<std::string> argv{name, dir, at, "-f", "-o",
		    "passfile=" + pass};
		argv.insert(argv.end(), more.begin(), more.end());
		const tool_process process = start_tool(argv,
		    {.env = env, .program = view_path()});
		// Not a moment longer once it has died.
		siginfo_t ended{};
		for (int tries = 0; tries < 1000 && !is_mounted(at) &&
		    waitid(P_PID, static_cast<id_t>(process.pid), &ended,
		    WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == 0;
		    tries++)
			std::this_thread::sleep_for(
			    std::chrono::milliseconds(10));
		return process;
	}

	// A view of dir, watched until the test ends, and where it is.
	std::string
	mount(const std::string &dir, const std::string &password = "secret",
	    const std::vector<std::string> &more = {})
	{
		std::string at = mount_point();
		daemons.emplace_back(at, serve(dir, at, more, {}, password));
		EXPECT_TRUE(is_mounted(at)) << "no view of " << dir;
		return at;
	}

	// A view that waits on itself would hold the test in a sleep that
	// no signal ends: past the deadline its connection is aborted, which
	// fails every call to it instead.
	void
	abort_after(const std::string &at, std::chrono::seconds deadline)
	{
		struct stat st {};
		// Mounted only for the test, and so unmounted with its views.
		if (::mount("none", "/sys/fs/fuse/connections", "fusectl", 0,
		    nullptr) == 0)
			mounts.insert(mounts.begin(),
			    "/sys/fs/fuse/connections");
		if (stat(at.c_str(), &st) != 0)
			return;
		const std::string abort = "/sys/fs/fuse/connections/" +
		    std::to_string(minor(st.st_dev)) + "/abort";
		watchdog = std::jthread([abort, deadline](
		    const std::stop_token &done) {
			const auto end = std::chrono::steady_clock::now() +
			    deadline;
			while (std::chrono::steady_clock::now() < end)
				if (done.stop_requested())
					return;
				else
					std::this_thread::sleep_for(
					    std::chrono::milliseconds(50));
			std::ofstream(abort) << "1";
		});
	}

	void answers_as_a_bind_mount(bool pressed);

	std::vector<std::string> mounts;
	std::vector<std::pair<std::string, tool_process>> daemons;
	std::jthread watchdog;
};

TEST_F(View, ReadsAsTheToolPrintsAtAnyOffsetToManyReadersAtOnce)
{
	const std::string dir = make_temp_dir();
	const std::size_t sizes[] = {0, 1, block_size - 1, block_size,
	    block_size + 1, 1 << 20, (1 << 20) + 4097};
	std::vector<std::string> want;
	for (const std::size_t size : sizes) {
		const std::string input = random_string(size, 20);
		write_file(dir + "/" + std::to_string(want.size()), input);
		want.push_back(viewed(input));
	}
	const std::string at = mount(dir);

	for (std::size_t file = 0; file < want.size(); file++) {
		struct stat st {};
		const std::string path = at + "/" + std::to_string(file);
		ASSERT_EQ(stat(path.c_str(), &st), 0);
		EXPECT_EQ(static_cast<std::size_t>(st.st_size),
		    want[file].size());
		EXPECT_TRUE(read_file(path) == want[file]) << sizes[file];
	}
	std::atomic<int> wrong = 0;
	std::vector<std::thread> readers;
	readers.reserve(8);
	for (int r = 0; r < 8; r++) {
		readers.emplace_back([&, r] {
			std::mt19937 random(static_cast<unsigned>(r));
			for (int i = 0; i < 40; i++) {
				const std::size_t file = random() % want.size();
				const std::size_t offset = random() %
				    (want[file].size() + 100);
				const std::size_t length = 1 +
				    random() % (256 << 10);
				const std::string got = read_range(at + "/" +
				    std::to_string(file),
				    static_cast<off_t>(offset), length);
				if (got != want[file].substr(std::min(offset,
				    want[file].size()), length))
					wrong++;
			}
		});
	}
	for (auto &reader : readers)
		reader.join();
	EXPECT_EQ(wrong, 0);

	// The transform undoes itself: a view of the view is DIR again, byte
	// for byte, as a backup made through the view restores.
	const std::string back = mount(at);
	EXPECT_TRUE(read_file(back + "/6") ==
	    random_string((1 << 20) + 4097, 20));
}

TEST_F(View, MirrorsTheTreeAtAnyDepthWithoutSpecialFiles)
{
	const std::string dir = make_temp_dir();
	write_file(dir + "/film", random_string(10000, 22));
	chmod((dir + "/film").c_str(), 0640);
	ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0750), 0);
	ASSERT_EQ(link((dir + "/film").c_str(),
	    (dir + "/folder/same").c_str()), 0);
	ASSERT_EQ(symlink("film", (dir + "/link").c_str()), 0);
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	sockaddr_un address{};
	address.sun_family = AF_UNIX;
	std::strncpy(address.sun_path, (dir + "/socket").c_str(),
	    sizeof address.sun_path - 1);
	const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(sock, 0);
	ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address),
	    sizeof address), 0);
	// More than one reply of the kernel's holds, and FIFOs are left out of
	// each.
	ASSERT_EQ(mkdir((dir + "/many").c_str(), 0755), 0);
	for (int i = 0; i < 1000; i++)
		write_file(dir + "/many/" + std::to_string(i), "");
	for (int i = 0; i < 1000; i += 100)
		ASSERT_EQ(mkfifo((dir + "/many/fifo" +
		    std::to_string(i)).c_str(), 0600), 0);
	// Another file system inside DIR, whose root would repeat inode
	// numbers of DIR's own, as every ext4 root is 2.  Only root mounts it.
	ASSERT_EQ(mkdir((dir + "/inner").c_str(), 0755), 0);
	const bool inner = ::mount("none", (dir + "/inner").c_str(), "tmpfs", 0,
	    nullptr) == 0;
	for (int i = 0; inner && i < 300; i++)
		write_file(dir + "/inner/" + std::to_string(i), "");
	// As large as tmpfs lets a file be: no size in whole blocks is.
	if (inner) {
		mounts.push_back(dir + "/inner");
		write_file(dir + "/inner/huge", "");
		ASSERT_EQ(truncate((dir + "/inner/huge").c_str(),
		    INT64_MAX), 0);
	}
	// An ext4 folder with a damaged inode, which stat cannot read but
	// ls lists: a backup that deletes must not take it for gone.
	const std::string damaged = dir + "/folder/damaged";
	mounts.push_back(damaged);
	const char *damage = "truncate -s 4M \"$1\" && mkfs.ext4 -q \"$1\" && "
	    "mkdir \"$0\" && mount -o loop \"$1\" \"$0\" && echo >\"$0/x\" && "
	    "umount \"$0\" && debugfs -w -R 'clri x' \"$1\" 2>/dev/null && "
	    "mount -o loop \"$1\" \"$0\"";
	const bool ext4 = geteuid() == 0 && run_tool({"sh", "-c", damage,
	    damaged, make_temp_dir() + "/ext4"}, {.program = "sh"}).status == 0;
	// A copy of /dev/zero, which only root can make.
	mknod((dir + "/zero").c_str(), S_IFCHR | 0666, makedev(1, 5));
	// Deeper than PATH_MAX.
	const std::string deep(200, 'd');
	int down = open(dir.c_str(), O_PATH | O_CLOEXEC);
	for (int level = 0; level < 24; level++) {
		mkdirat(down, deep.c_str(), 0755);
		const int next = openat(down, deep.c_str(), O_PATH | O_CLOEXEC);
		close(down);
		down = next;
	}
	const int leaf = openat(down, "film", O_WRONLY | O_CREAT | O_CLOEXEC,
	    0644);
	ASSERT_EQ(write(leaf, "deep", 4), 4);
	close(leaf);
	close(down);
	for (const char *self : {"/self", "/folder/self"})
		ASSERT_EQ(mkdir((dir + self).c_str(), 0755), 0);
	// One thread, which a view that waited on itself would leave stuck.
	const std::string at = mount(dir, "secret", {"-s"});
	abort_after(at, std::chrono::seconds(10));
	// The view bound inside DIR, which only root can do, at its top and a
	// folder deeper.
	for (const char *self : {"/self", "/folder/self"}) {
		mounts.push_back(dir + self);
		if (::mount(at.c_str(), (dir + self).c_str(), nullptr, MS_BIND,
		    nullptr) != 0)
			continue;
		struct stat st {};
		errno = 0;
		EXPECT_EQ(lstat((at + self + "/film").c_str(), &st),
		    -1) << self;
		EXPECT_EQ(errno, ELOOP) << self;
	}

	EXPECT_EQ(names_in(at), (std::vector<std::string>{deep, "film",
	    "folder", "inner", "link", "many", "self"}));
	down = open(at.c_str(), O_PATH | O_CLOEXEC);
	for (int level = 0; down >= 0 && level < 24; level++) {
		const int next = openat(down, deep.c_str(), O_PATH | O_CLOEXEC);
		close(down);
		down = next;
	}
	const int read_leaf = openat(down, "film", O_RDONLY | O_CLOEXEC);
	std::string got(block_size, '\0');
	EXPECT_EQ(read(read_leaf, got.data(), got.size()), 4);
	EXPECT_TRUE(got.substr(0, 4) == viewed("deep"));
	close(read_leaf);
	close(down);
	std::vector<std::string> files = names_in(dir + "/many");
	std::erase_if(files, [](const std::string &f) {
		return f.starts_with("fifo");
	});
	EXPECT_EQ(names_in(at + "/many"), files);
	if (ext4) {
		EXPECT_EQ(names_in(at + "/folder/damaged"), names_in(damaged));
		struct stat st {};
		errno = 0;
		EXPECT_EQ(lstat((at + "/folder/damaged/x").c_str(), &st), -1);
		EXPECT_EQ(errno, EUCLEAN);
	}
	for (const char *special : {"/fifo", "/socket", "/zero"}) {
		struct stat st {};
		EXPECT_EQ(lstat((at + special).c_str(), &st), -1) << special;
		EXPECT_EQ(open((at + special).c_str(),
		    O_RDONLY | O_NONBLOCK), -1);
	}
	for (const char *path :
	    {"", "/film", "/folder", "/folder/same", "/link"}) {
		struct stat source {};
		struct stat shown {};
		ASSERT_EQ(lstat((dir + path).c_str(), &source), 0);
		ASSERT_EQ(lstat((at + path).c_str(), &shown), 0) << path;
		EXPECT_EQ(shown.st_mode, source.st_mode) << path;
		EXPECT_EQ(shown.st_ino, source.st_ino) << path;
		EXPECT_EQ(shown.st_nlink, source.st_nlink) << path;
		EXPECT_EQ(shown.st_uid, source.st_uid) << path;
		EXPECT_EQ(shown.st_gid, source.st_gid) << path;
		EXPECT_EQ(shown.st_mtim.tv_sec, source.st_mtim.tv_sec) << path;
		EXPECT_EQ(shown.st_mtim.tv_nsec,
		    source.st_mtim.tv_nsec) << path;
		EXPECT_EQ(shown.st_ctim.tv_nsec,
		    source.st_ctim.tv_nsec) << path;
		EXPECT_EQ(shown.st_size, source.st_size) << path;
	}
	char target[16] = {};
	EXPECT_EQ(readlink((at + "/link").c_str(), target, sizeof target), 4);
	EXPECT_STREQ(target, "film");
	close(sock);
	struct stat source {};
	struct stat shown {};
	if (inner && stat((dir + "/inner").c_str(), &source) == 0 &&
	    stat((at + "/inner").c_str(), &shown) == 0) {
		EXPECT_EQ(shown.st_ino >> 63, 1u);
		EXPECT_EQ(shown.st_ino << 16, source.st_ino << 16);
		// Listed as stat gives them, past the first reply too: all are
		// listed before any is looked up, which would keep the kernel
		// asking for attributes with every entry.
		const std::string folder = at + "/inner/";
		std::vector<std::pair<std::string, ino_t>> listed;
		DIR *listing = opendir(folder.c_str());
		for (const dirent *e; (e = readdir(listing)) != nullptr;)
			listed.emplace_back(folder + e->d_name, e->d_ino);
		closedir(listing);
		int differ = 0;
		for (const auto &[path, inode] : listed) {
			struct stat st {};
			if (lstat(path.c_str(), &st) != 0 ||
			    (path.back() != '.' && st.st_ino != inode))
				differ++;
		}
		EXPECT_EQ(differ, 0);
		// No size is too large to show, as it is the file's own.
		EXPECT_EQ(stat((folder + "huge").c_str(), &shown), 0);
		EXPECT_EQ(shown.st_size, INT64_MAX);
		EXPECT_EQ(listed.size(), 303u);
	}
}

// Every option of FUSE's that the view does not refuse, works.
TEST_F(View, ServesUnderEveryOptionItTakesAndAnyLimit)
{
	const std::string dir = make_temp_dir();
	const std::string input = random_string(300000, 29);
	write_file(dir + "/film", input);
	// Others are let in by root, or where fuse.conf allows it.  Root
	// has the kernel read ahead as much as one request may hold.
	for (const auto &[option, read_ahead] : {std::pair{"max_read=262144",
	    "256\n"}, {"clone_fd,max_threads=2", "1024\n"},
	    {"kernel_cache,noforget", "1024\n"},
	    {"noatime,sync,dirsync,exec,suid,dev", "1024\n"},
	    {"allow_root,allow_other", "1024\n"}}) {
		if (geteuid() != 0 &&
		    std::string_view(option).starts_with("allow"))
			continue;
		const std::string at = mount(dir, "secret", {"-o", option});
		EXPECT_TRUE(read_file(at + "/film") == viewed(input)) << option;
		struct stat st {};
		ASSERT_EQ(stat(at.c_str(), &st), 0);
		const std::string bdi = "/sys/class/bdi/" + std::to_string(
		    major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)) +
		    "/read_ahead_kb";
		if (geteuid() == 0 && access(bdi.c_str(), W_OK) == 0) {
			EXPECT_EQ(read_file(bdi), read_ahead) << option;
		}
		stop(at);
	}

	// Started with few descriptors, it takes all it may have, and keeps
	// some for the lookups and listings of others: with two users holding
	// all the files they may, every name a listing shows is looked up.
	for (int i = 0; i < 300; i++) {
		write_file(dir + "/" + std::to_string(i), "");
		ASSERT_EQ(mkdir((dir + "/d" + std::to_string(i)).c_str(),
		    0755), 0);
	}
	const std::string pass = make_temp_dir() + "/pass";
	write_file(pass, "secret\n");
	const std::string at = mount_point();
	const char *limited = "ulimit -Sn 64 && ulimit -Hn 256 && "
	    "exec \"$0\" \"$@\"";
	const bool root = geteuid() == 0;
	const tool_result started = run_tool({"sh", "-c", limited, view_path(),
	    dir, at, "-o", "passfile=" + pass + (root ? ",allow_other" : "")},
	    {.program = "sh"});
	ASSERT_EQ(started.status, 0) << started.err;
	chmod(dir.c_str(), 0755);
	chmod((dir + "/film").c_str(), 0644);
	const auto hold_all = [&](std::vector<int> &held) {
		for (int i = 0, fd; i < 300 &&
		    (fd = open(std::to_string(i).c_str(),
		    O_RDONLY | O_CLOEXEC)) >= 0; i++)
			held.push_back(fd);
	};
	std::vector<int> held;
	std::vector<int> others;
	std::string other;
	std::thread([&] {
		if (unshare(CLONE_FS) != 0 || chdir(at.c_str()) != 0)
			return;
		hold_all(held);
		// Another user has a share of its own.
		if (root && syscall(SYS_setgroups, 0, nullptr) == 0 &&
		    syscall(SYS_setresgid, 65534, 65534, 65534) == 0 &&
		    syscall(SYS_setresuid, 65534, 65534, 65534) == 0) {
			other = read_file("film");
			hold_all(others);
		}
	}).join();
	EXPECT_GT(held.size(), 64u);
	EXPECT_LT(held.size(), 250u);
	EXPECT_TRUE(!root || other == viewed(input));
	EXPECT_TRUE(!root || !others.empty());
	const std::vector<std::string> names = names_in(at);
	EXPECT_EQ(names.size(), 601u);
	const std::string in = at + "/";
	int lost = 0;
	for (const std::string &n : names) {
		struct stat st {};
		lost += lstat((in + n).c_str(), &st) != 0 ? 1 : 0;
	}
	EXPECT_EQ(lost, 0);
	for (const int fd : held)
		close(fd);
	for (const int fd : others)
		close(fd);
	EXPECT_TRUE(read_file(at + "/film") == viewed(input));
}

TEST_F(View, RefusesEveryChangeAndChangesNothing)
{
	const std::string dir = make_temp_dir();
	const std::string input = random_string(5000, 23);
	write_file(dir + "/film", input);
	ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
	struct stat before {};
	ASSERT_EQ(stat((dir + "/film").c_str(), &before), 0);
	const std::string at = mount(dir, "secret", {"-o", "rw"});
	const std::string film = at + "/film";
	EXPECT_TRUE(read_file(film) == viewed(input));
	const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};

	const std::pair<const char *, std::function<int()>> changes[] = {
	    {"write", [&] { return open(film.c_str(), O_WRONLY); }},
	    {"create", [&] { return open((at + "/new").c_str(),
		O_WRONLY | O_CREAT, 0644); }},
	    {"truncate", [&] { return truncate(film.c_str(), 0); }},
	    {"unlink", [&] { return unlink(film.c_str()); }},
	    {"rename", [&] { return rename(film.c_str(),
		(at + "/moved").c_str()); }},
	    {"link", [&] { return link(film.c_str(),
		(at + "/linked").c_str()); }},
	    {"symlink", [&] { return symlink("film", (at + "/new").c_str()); }},
	    {"mkdir", [&] { return mkdir((at + "/new").c_str(), 0755); }},
	    {"rmdir", [&] { return rmdir((at + "/folder").c_str()); }},
	    {"chmod", [&] { return chmod(film.c_str(), 0777); }},
	    {"chown", [&] { return chown(film.c_str(), 1, 1); }},
	    {"utimes", [&] { return utimensat(AT_FDCWD, film.c_str(),
		now, 0); }},
	    {"setxattr", [&] { return setxattr(film.c_str(), "user.x", "y", 1,
		0); }},
	};
	for (const auto &[what, change] : changes) {
		errno = 0;
		EXPECT_EQ(change(), -1) << what;
		EXPECT_EQ(errno, EROFS) << what;
	}
	EXPECT_EQ(names_in(dir), (std::vector<std::string>{"film", "folder"}));
	struct stat after {};
	ASSERT_EQ(stat((dir + "/film").c_str(), &after), 0);
	EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);
	EXPECT_EQ(read_file(dir + "/film"), input);
}

TEST_F(View, ShowsChangesInDirWithinTwoSeconds)
{
	const std::string dir = make_temp_dir();
	write_file(dir + "/grows", "short");
	write_file(dir + "/replaced", "before");
	write_file(dir + "/removed", "gone");
	write_file(dir + "/rewritten", "same size");
	const std::string at = mount(dir);
	// Seen once, so that the kernel holds all of them.
	for (const char *file :
	    {"/grows", "/replaced", "/removed", "/rewritten"})
		ASSERT_NE(read_file(at + file).size(), 0u);
	names_in(at);
	// In place, to the same size, its time set back as cp -p sets it.
	struct stat old {};
	ASSERT_EQ(stat((dir + "/rewritten").c_str(), &old), 0);
	write_file(dir + "/rewritten", "same SIZE");
	const timespec times[2] = {old.st_atim, old.st_mtim};
	ASSERT_EQ(utimensat(AT_FDCWD, (dir + "/rewritten").c_str(),
	    times, 0), 0);

	const std::string longer = "short" + random_string(20000, 24);
	std::ofstream(dir + "/grows", std::ios::app) << longer.substr(5);
	write_file(dir + "/replacement", "after");
	ASSERT_EQ(rename((dir + "/replacement").c_str(),
	    (dir + "/replaced").c_str()), 0);
	ASSERT_EQ(unlink((dir + "/removed").c_str()), 0);
	write_file(dir + "/added", "new");
	const auto shows_all = [&] {
		return read_file(at + "/grows") == viewed(longer) &&
		    read_file(at + "/replaced") == viewed("after") &&
		    read_file(at + "/rewritten") == viewed("same SIZE") &&
		    access((at + "/removed").c_str(), F_OK) != 0 &&
		    names_in(at) == std::vector<std::string>{"added", "grows",
			"replaced", "rewritten"} &&
		    read_file(at + "/added") == viewed("new");
	};
	const auto start = std::chrono::steady_clock::now();
	while (!shows_all() &&
	    std::chrono::steady_clock::now() - start < std::chrono::seconds(2))
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	EXPECT_TRUE(shows_all());
}

TEST_F(View, ReadsWhatIsLeftOfAFileCutWhileOpen)
{
	const std::string dir = make_temp_dir();
	const std::string input = random_string(5 * block_size, 26);
	write_file(dir + "/film", input);
	const std::string at = mount(dir);

	const int fd = open((at + "/film").c_str(), O_RDONLY | O_DIRECT);
	ASSERT_GE(fd, 0);
	std::string got(5 * block_size, '\0');
	ASSERT_EQ(truncate((dir + "/film").c_str(), block_size + 10), 0);
	EXPECT_EQ(pread(fd, got.data(), got.size(), 0), block_size + 10);
	EXPECT_TRUE(got.substr(0, block_size + 10) ==
	    viewed(input.substr(0, block_size + 10)));
	EXPECT_EQ(pread(fd, got.data(), block_size, 3 * block_size), 0);
	// Removed, it is still the open file.
	ASSERT_EQ(unlink((dir + "/film").c_str()), 0);
	write_file(dir + "/other", input);
	EXPECT_EQ(pread(fd, got.data(), got.size(), 0), block_size + 10);
	close(fd);
}

TEST_F(View, NeverFollowsALinkNorOpensWhatTookAFilesPlace)
{
	const std::string dir = make_temp_dir();
	const std::string outside = make_temp_dir();
	ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
	write_file(dir + "/folder/film", "inside");
	write_file(dir + "/pipe", "a file");
	write_file(outside + "/film", "outside");
	// The kernel keeps taking "folder" for a folder, and asks the view
	// for folder/film after it has become a link: the view answers from
	// the folder the name stood for, as a process standing in it sees it.
	// It takes "pipe" for a file after it has become a FIFO, which the
	// view leaves out.
	const std::string at = mount(dir, "secret",
	    {"-o", "entry_timeout=1,attr_timeout=1"});
	ASSERT_EQ(read_file(at + "/folder/film"), viewed("inside"));
	ASSERT_EQ(read_file(at + "/pipe"), viewed("a file"));

	ASSERT_EQ(rename((dir + "/folder").c_str(), (dir + "/was").c_str()), 0);
	ASSERT_EQ(symlink(outside.c_str(), (dir + "/folder").c_str()), 0);
	EXPECT_EQ(read_file(at + "/folder/film"), viewed("inside"));

	// Opened, even to be turned away, the FIFO would wake its writer.
	ASSERT_EQ(unlink((dir + "/pipe").c_str()), 0);
	ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
	std::atomic<bool> woken = false;
	std::thread writer([&] {
		close(open((dir + "/pipe").c_str(), O_WRONLY | O_CLOEXEC));
		woken = true;
	});
	EXPECT_EQ(open((at + "/pipe").c_str(), O_RDONLY | O_CLOEXEC), -1);
	EXPECT_EQ(errno, ENOENT);
	std::this_thread::sleep_for(std::chrono::milliseconds(100));
	EXPECT_FALSE(woken);
	close(open((dir + "/pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	writer.join();
}

TEST_F(View, EndsCleanlyOnUnmountOrSignalAndCachesWhatDidNotChange)
{
	const std::string dir = make_temp_dir();
	const std::string input = random_string(2 << 20, 27);
	write_file(dir + "/film", input);
	const std::string pass = make_temp_dir() + "/pass";
	write_file(pass, "secret\n");

	for (const int how : {0, SIGTERM, SIGINT}) {
		const std::string at = mount_point();
		const tool_process process = serve(dir, at);
		ASSERT_TRUE(is_mounted(at));
		if (how == 0) {
			const std::string io = "/proc/" +
			    std::to_string(process.pid) + "/io";
			const auto bytes_read = [&] {
				const std::string text = read_file(io);
				return std::stoull(text.substr(
				    text.find("rchar: ") + 7));
			};
			EXPECT_TRUE(read_file(at + "/film") == viewed(input));
			const auto before = bytes_read();
			EXPECT_TRUE(read_file(at + "/film") == viewed(input));
			EXPECT_LT(bytes_read() - before, 64u << 10);
			EXPECT_EQ(stop(at).status, 0);
		} else {
			kill(process.pid, how);
		}
		const tool_result result = finish_tool(process);
		EXPECT_EQ(result.status, 0) << how;
		EXPECT_EQ(result.err, "") << how;
		EXPECT_FALSE(is_mounted(at)) << how;
	}

	// Killed, the view fails every access until it is unmounted, and never
	// looks like an empty folder to a backup that deletes.
	const std::string killed = mount_point();
	tool_process process = serve(dir, killed);
	kill(process.pid, SIGKILL);
	EXPECT_EQ(finish_tool(process).status, 128 + SIGKILL);
	EXPECT_EQ(access((killed + "/film").c_str(), F_OK), -1);
	EXPECT_EQ(errno, ENOTCONN);
	EXPECT_EQ(stop(killed).status, 0);
	EXPECT_FALSE(is_mounted(killed));

	// A signal at any step of the start-up, from mount(2) to the last
	// word between the command and its daemon, stops it, said as that
	// signal, and leaves nothing mounted; so does one that ends the
	// daemon, or the command, at once.
	const std::string signalled = mount_point();
	const bool traced = geteuid() == 0 && run_tool({"sh", "-c",
	    "command -v strace"}, {.program = "sh"}).status == 0;
	const auto at_call = [](const char *call, const char *signal) {
		return std::vector<std::string>{"strace", "-o", "/dev/null",
		    "-e", std::string("trace=") + call, "-e",
		    std::string("inject=") + call + ":signal=" + signal};
	};
	// The command's last word to its daemon is its first write as a user,
	// and its second as root, who raised the read-ahead first.
	const char *answer_back = geteuid() == 0 ? "write:2:SIGTERM" :
	    "write:1:SIGTERM";
	const struct {
		std::vector<std::string> before;
		const char *fault;
		int status;
		const char *told;
	} steps[] = {
	    {{}, "setsid:1:SIGTERM", 1, "Terminated"},
	    {{}, "setsid:1:SIGKILL", 1, "Killed"},
	    {at_call("mount", "SIGTERM"), nullptr, 1, "Terminated"},
	    {at_call("statx", "SIGTERM"), nullptr, 1, "Terminated"},
	    {{}, "write:1:SIGTERM", 1, "Terminated"},
	    {{}, answer_back, 1, "Terminated"},
	    {at_call("poll", "SIGTERM"), nullptr, 1, "Terminated"},
	    {at_call("poll", "SIGKILL"), nullptr, 128 + SIGKILL, nullptr},
	};
	for (const auto &step : steps) {
		if (!step.before.empty() && !traced)
			continue;
		std::vector<std::string> argv = step.before;
		argv.insert(argv.end(), {view_path(), dir, signalled, "-o",
		    "passfile=" + pass});
		// LeakSanitizer cannot look at a traced process.
		std::vector<std::string> env{"ASAN_OPTIONS=detect_leaks=0"};
		if (step.fault != nullptr)
			env = {"LD_PRELOAD=" FAULT_SHIM,
			    "ENCRYPT_VIDEO_FAULT=" + std::string(step.fault),
			    "ASAN_OPTIONS=verify_asan_link_order=0"};
		const tool_result stopped = run_tool(argv, {.env = env,
		    .program = argv[0]});
		const std::string what = argv[0] + " " +
		    (step.fault != nullptr ? step.fault : argv[6]);
		EXPECT_EQ(stopped.status, step.status) << what;
		EXPECT_EQ(stopped.err, step.told == nullptr ? "" : view_path() +
		    ": the view stopped before it answered: " + step.told +
		    ".\n") << what;
		// Its daemon unmounts as it ends.
		for (int tries = 0; tries < 200 && is_mounted(signalled);
		    tries++)
			std::this_thread::sleep_for(
			    std::chrono::milliseconds(10));
		EXPECT_FALSE(is_mounted(signalled)) << what;
	}

	// A failing read of DIR reaches the reader as it is.  One thread, so
	// that only the first read of all fails.
	const std::string at = mount_point();
	process = serve(dir, at, {"-s"}, {"LD_PRELOAD=" FAULT_SHIM,
	    "ENCRYPT_VIDEO_FAULT=pread:1:EIO",
	    "ASAN_OPTIONS=verify_asan_link_order=0"});
	EXPECT_EQ(read_range(at + "/film", 0, 100),
	    "error: Input/output error");
	EXPECT_TRUE(read_range(at + "/film", 0, 100) ==
	    viewed(input).substr(0, 100));
	stop(at);
	EXPECT_EQ(finish_tool(process).status, 0);
}

TEST_F(View, RefusesWithOneLineAndMountsNothing)
{
	const std::string dir = make_temp_dir();
	const std::string at = mount_point();
	const std::string film = dir + "/film";
	write_file(film, "x");
	ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
	const std::string passes = make_temp_dir();
	write_file(passes + "/empty", "");
	write_file(passes + "/newline", "\n");
	write_file(passes + "/zero", "ai\n");
	write_file(passes + "/nul", std::string("a\0b\n", 4));
	write_file(passes + "/right", "secret\n");
	write_file(passes + "/check", "encrypt_video key 1\n");
	const std::string checked = "passfile=" + passes + "/right,passcheck=" +
	    passes;
	const std::string usage = "usage: encrypt_video_fs DIR MOUNTPOINT [-f] "
	    "[-o OPTION[,OPTION]...]\n";
	const std::string no_key = "encrypt_video_fs: this password gives no "
	    "scrambling at all; choose another.\n";
	const std::string empty = make_temp_dir();
	const std::string mounted = mount(dir);

	const std::pair<std::vector<std::string>, std::string> cases[] = {
	    {{}, usage},
	    {{dir}, usage},
	    {{dir, at, at}, usage},
	    {{"/no/dir", at}, "encrypt_video_fs: could not open /no/dir: "
		"No such file or directory.\n"},
	    {{film, at}, "encrypt_video_fs: could not open " + film +
		": Not a directory.\n"},
	    {{dir, "/no/dir"}, "encrypt_video_fs: could not open the mount "
		"point /no/dir: No such file or directory.\n"},
	    {{dir, dir + "/sub"}, "encrypt_video_fs: the mount point " + dir +
		"/sub is inside " + dir + ".\n"},
	    {{dir, dir}, "encrypt_video_fs: the mount point " + dir +
		" is inside " + dir + ".\n"},
	    {{empty, at}, "encrypt_video_fs: " + empty + " is empty, as a disk "
		"that is not mounted leaves it; give -o allow_empty to show it "
		"all the same.\n"},
	    {{dir, mounted}, "encrypt_video_fs: " + mounted + " is mounted "
		"already; unmount it first: fusermount3 -u " + mounted + "\n"},
	    {{dir, at}, "encrypt_video_fs: no password: standard input has no "
		"line.\n"},
	    {{dir, at, "-o", "passfile=" + passes + "/empty"},
		"encrypt_video_fs: no password: " + passes +
		"/empty has no line.\n"},
	    {{dir, at, "-o", "passfile=" + passes + "/newline"},
		"encrypt_video_fs: no password: the line from " + passes +
		"/newline is empty.\n"},
	    {{dir, at, "-o", "passfile=/no/pass"}, "encrypt_video_fs: "
		"could not open /no/pass: No such file or directory.\n"},
	    {{dir, at, "-o", "passfile=" + passes + "/zero"}, no_key},
	    {{dir, at, "-o", "passfile=" + passes + "/nul"},
		"encrypt_video_fs: the password from " + passes +
		"/nul holds a zero byte, which no password can.\n"},
	    {{dir, at, "-o", checked + "/check"},
		"encrypt_video_fs: the password is not the one " + passes +
		"/check was made with.\n"},
	    {{dir, at, "-o", checked + "/empty"}, "encrypt_video_fs: " +
		passes + "/empty is not a password check.\n"},
	    {{dir, at, "-o", checked + "/no/check"}, "encrypt_video_fs: "
		"could not open " + passes +
		"/no/check: No such file or directory.\n"},
	    {{dir, at, "-o", "nosuch"},
		"fuse: unknown option(s): `-o nosuch'\n"},
	    {{dir, at, "-o", "writable"},
		"encrypt_video_fs: refusing -o writable without -o "
		"passcheck=FILE: under a mistyped password, what is written "
		"would go to DIR under another key.\n"},
	};
	std::vector rows(std::begin(cases), std::end(cases));
	// Each option that would break a promise, refused in its table's
	// words, in the forms mount(8) and a shell give: in a list, joined.
	for (const std::string key : {"auto_unmount", "uid=", "gid=", "umask=",
	    "blkdev", "blksize=", "modules=", "attr_timeout=", "entry_timeout=",
	    "negative_timeout="}) {
		const auto o = std::find_if(options().begin(), options().end(),
		    [&](const option &row) { return row.key == key; });
		ASSERT_NE(o, options().end()) << key;
		const std::string arg = key + (key.ends_with('=') ? "60" : "");
		const std::string refused = name + ": refusing -o " + arg +
		    ": " + (o->why == nullptr ? "" : o->why) + ".\n";
		rows.push_back({{dir, at, "-o", "ro," + arg}, refused});
		rows.push_back({{dir, at, "-o" + arg}, refused});
	}
	for (const auto &[operands, line] : rows) {
		std::vector<std::string> argv{name};
		argv.insert(argv.end(), operands.begin(), operands.end());
		const tool_result result = run_tool(argv,
		    {.program = view_path()});
		EXPECT_EQ(result.status, 1) << line;
		EXPECT_EQ(result.err, line);
		EXPECT_FALSE(is_mounted(at)) << line;
	}

	// Without a usable /dev/fuse, as a machine without fuse3 or udev has;
	// then without /proc.
	const char *script = R"sh(
[ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null || exit 77
exec unshare -m sh -c 'mount -t tmpfs none /dev || exit 77
"$0" /usr /tmp 2>&1
mknod -m 000 /dev/fuse c 10 229
setpriv --bounding-set=-all "$0" /usr /tmp 2>&1
mount -t tmpfs none /proc || exit 77
export ASAN_OPTIONS=detect_leaks=0
"$0" /usr /tmp 2>&1 | grep -v "^==\|^False positive\|^For details"' "$0")sh";
	const tool_result device = run_tool({"sh", "-c", script, view_path()},
	    {.program = "sh"});
	if (device.status == 77)
		GTEST_SKIP() << "cannot hide /dev/fuse here (unshare, as root)";
	EXPECT_EQ(device.out, view_path() + ": no /dev/fuse here: install "
	    "fuse3, or load the fuse module (modprobe fuse).\n" +
	    view_path() + ": could not open /dev/fuse: Permission denied; "
	    "run as root, or let every user open it (mode 0666, as udev "
	    "makes it).\n" + view_path() + ": no /proc here, through which "
	    "files are opened: mount it (mount -t proc proc /proc).\n");
}

TEST_F(View, MountsFromAnFstabLineForOthersOnlyWithAllowOther)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "mount.fuse3 and a second user need root";
	const std::string dir = make_temp_dir();
	chmod(dir.c_str(), 0755);
	write_file(dir + "/public", "for all");
	write_file(dir + "/private", "for root");
	chmod((dir + "/public").c_str(), 0644);
	chmod((dir + "/private").c_str(), 0600);
	const std::string pass = make_temp_dir() + "/pass";
	write_file(pass, "secret\n");
	const std::string at = mount_point();

	// As mount(8) runs it for "DIR MNT fuse.encrypt_video_fs
	// passfile=FILE,allow_other 0 0".
	const tool_result mounted = run_tool({"mount.fuse3", dir, at, "-t",
	    "encrypt_video_fs", "-o", "rw,passfile=" + pass + ",allow_other"},
	    {.env = {"PATH=" + std::filesystem::path(view_path()).parent_path()
	    .string() + ":/usr/sbin:/usr/bin:/sbin:/bin"},
	    .program = "/sbin/mount.fuse3"});
	ASSERT_EQ(mounted.status, 0) << mounted.err;
	const std::string table = read_file("/proc/self/mounts");
	EXPECT_NE(table.find(dir + " " + at + " fuse.encrypt_video_fs "
	    "ro,nosuid,nodev,"), std::string::npos) << table;
	EXPECT_EQ(open((at + "/public").c_str(), O_WRONLY), -1);
	EXPECT_EQ(errno, EROFS);

	// Started in the view, so that the folders above it need not be open
	// to others.
	const auto as_nobody = [](const std::string &in, const char *file) {
		return run_tool({"setpriv", "--reuid=65534", "--regid=65534",
		    "--clear-groups", "cat", file},
		    {.dir = in.c_str(), .program = "setpriv"});
	};
	const tool_result shown = as_nobody(at, "public");
	EXPECT_TRUE(shown.out == viewed("for all")) << shown.err;
	EXPECT_EQ(as_nobody(at, "private").err,
	    "cat: private: Permission denied\n");
	const std::string own = mount(dir);
	EXPECT_EQ(as_nobody(own, "public").err,
	    "cat: public: Permission denied\n");
}

TEST_F(View, TakesThePasswordLineAsTheToolTakesItsOperand)
{
	const std::string dir = make_temp_dir();
	const std::string input = random_string(3000, 28);
	write_file(dir + "/film", input);

	// With its standard streams closed, as some service managers start it.
	const std::string pass = make_temp_dir() + "/pass";
	write_file(pass, "secret\n");
	const std::string closed = mount_point();
	const char *script = "exec \"$0\" \"$1\" \"$2\" -o passfile=\"$3\" "
	    "<&- >&- 2>&-";
	EXPECT_EQ(run_tool({"sh", "-c", script, view_path(), dir, closed, pass},
	    {.program = "sh"}).status, 0);
	EXPECT_TRUE(read_file(closed + "/film") == viewed(input, "secret"));
	stop(closed);
	// A check made by the first view lets the same password in again.
	const std::string check = "passfile=" + pass + ",passcheck=" +
	    pass + "~";
	for (int i = 0; i < 2; i++) {
		EXPECT_EQ(run_tool({name, dir, closed, "-o", check},
		    {.program = view_path()}).err, "");
		EXPECT_TRUE(read_file(closed + "/film") ==
		    viewed(input, "secret"));
		stop(closed);
	}

	// On a terminal it is asked for, and not shown.
	const auto [master, terminal] = open_terminal();
	if (terminal < 0)
		GTEST_SKIP() << "no pseudo-terminal here (/dev/pts)";
	const std::string at = mount_point();
	const tool_process process = start_tool({name, dir, at},
	    {.stdin_fd = terminal, .program = view_path()});
	close(terminal);
	std::string prompt(10, '\0');
	ASSERT_EQ(read(process.err, prompt.data(), prompt.size()), 10);
	EXPECT_EQ(prompt, "Password: ");
	ASSERT_EQ(write(master, "secret\n", 7), 7);
	const tool_result result = finish_tool(process);
	EXPECT_EQ(result.status, 0) << result.err;
	char echo[64] = {};
	EXPECT_EQ(std::string(echo, static_cast<std::size_t>(std::max(
	    read(master, echo, sizeof echo), ssize_t{0}))), "\r\n");
	close(master);
	EXPECT_TRUE(read_file(at + "/film") == viewed(input, "secret"));
	stop(at);
}

// What users expect of the view is what a read-only bind mount of DIR
// answers: the same seeded operations on both, with DIR changing between
// them, must answer alike but for the sizes of regular files and the
// device.
TEST_F(View, AnswersAsAReadOnlyBindMountOfDirDoes)
{
	answers_as_a_bind_mount(false);
}

// On ext4, which gives a new file the inode number of one just deleted,
// with the daemon under a limit that leaves folders few descriptors.
TEST_F(View, AnswersAsABindMountDoesOnExt4UnderALowLimit)
{
	answers_as_a_bind_mount(true);
}

void
View::answers_as_a_bind_mount(bool pressed)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "a bind mount needs root";
	const std::string dir = make_temp_dir();
	const std::string ext4 = "truncate -s 64M \"$1\" && "
	    "mkfs.ext4 -q \"$1\" && mount -o loop \"$1\" \"$0\"";
	if (pressed && run_tool({"sh", "-c", ext4, dir, dir + ".ext4"},
	    {.program = "sh"}).status != 0)
		GTEST_SKIP() << "no ext4 image here (mkfs.ext4, a loop device)";
	mounts.push_back(dir);
	ASSERT_EQ(mkdir((dir + "/many").c_str(), 0755), 0);
	for (int i = 0; i < 40; i++)
		ASSERT_EQ(mkdir((dir + "/many/" + std::to_string(i)).c_str(),
		    0755), 0);
	const std::string bound = mount_point();
	ASSERT_EQ(::mount(dir.c_str(), bound.c_str(), nullptr, MS_BIND,
	    nullptr), 0);
	ASSERT_EQ(::mount(nullptr, bound.c_str(), nullptr,
	    MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
	// Asked every time, so that each answer is of DIR as it is now; and
	// by another user too, whom DIR's access control lists may refuse.
	const std::string asked = "entry_timeout=0,attr_timeout=0,"
	    "negative_timeout=0,allow_other";
	const std::string at = pressed ? mount_point() : mount(dir, "secret",
	    {"-o", asked});
	if (pressed) {
		const std::string pass = make_temp_dir() + "/pass";
		write_file(pass, "secret\n");
		const tool_result started = run_tool({"prlimit",
		    "--nofile=64:64", view_path(), dir, at, "-o",
		    asked + ",passfile=" + pass}, {.program = "prlimit"});
		ASSERT_EQ(started.status, 0) << started.err;
	}
	chmod(dir.c_str(), 0755);
	chmod(std::filesystem::path(dir).parent_path().c_str(), 0711);

	using text = std::string;
	const auto failed = [] {
		return text("error ") + strerrorname_np(errno);
	};
	const auto attributes = [&](int result, const struct stat &st) {
		if (result != 0)
			return failed();
		std::ostringstream out;
		out << std::oct << st.st_mode << std::dec << " " << st.st_ino <<
		    " " << st.st_nlink << " " << st.st_uid << ":" <<
		    st.st_gid << " " << st.st_blocks << " " << st.st_blksize <<
		    " " << (S_ISREG(st.st_mode) ? 0 : st.st_size);
		for (const timespec &t : {st.st_atim, st.st_mtim, st.st_ctim})
			out << " " << t.tv_sec << "." << t.tv_nsec;
		return out.str();
	};
	char buffer[4096];
	// Of either side, what the other side's bytes would be.
	const auto bytes = [&](const text &p, int fd) {
		text all;
		for (ssize_t n; (n = pread(fd, buffer, sizeof buffer,
		    static_cast<off_t>(all.size()))) > 0;)
			all.append(buffer, static_cast<std::size_t>(n));
		return p.starts_with(bound) ? viewed(all) : all;
	};
	const auto listing = [&](const text &p) {
		DIR *d = opendir(p.c_str());
		if (d == nullptr)
			return failed();
		std::set<text> names;
		for (const dirent *e; (e = readdir(d)) != nullptr;)
			names.insert(text(e->d_name) + " " + std::to_string(
			    e->d_type) + " " + std::to_string(e->d_ino));
		closedir(d);
		return std::accumulate(names.begin(), names.end(), text());
	};
	// Files and folders held open while DIR changes, by path on each side.
	std::map<text, int> held;
	const auto hold = [&](const text &p) {
		auto &fd = held.try_emplace(p, -1).first->second;
		close(fd);
		fd = open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		return fd < 0 ? failed() : text("ok");
	};
	const auto read_held = [&](const text &p) {
		const auto found = held.find(p);
		if (found == held.end() || found->second < 0)
			return text("none");
		struct stat st {};
		const int fd = found->second;
		const text shown = attributes(fstat(fd, &st), st);
		return S_ISDIR(st.st_mode) ? shown + listing("/proc/self/fd/" +
		    std::to_string(fd)) : shown + bytes(p, fd);
	};
	// As cp --preserve=xattr asks: how much, then exactly that.
	const auto list_attributes = [&](const text &p) {
		const ssize_t size = llistxattr(p.c_str(), nullptr, 0);
		const ssize_t n = size < 0 ? size : llistxattr(p.c_str(),
		    buffer, static_cast<std::size_t>(size));
		return n < 0 ? failed() :
		    text(buffer, static_cast<std::size_t>(n));
	};
	// In a thread of its own, which the raw calls alone make nobody, and
	// from inside either side, so that the folders above it need not be
	// open to others (TMPDIR may be anyone's).
	const auto as_nobody = [&](const text &p) {
		const text &side = p.starts_with(bound) ? bound : at;
		const text inside = text(".").append(p, side.size());
		text all;
		std::thread([&] {
			if (unshare(CLONE_FS) != 0 ||
			    chdir(side.c_str()) != 0 ||
			    syscall(SYS_setgroups, 0, nullptr) != 0 ||
			    syscall(SYS_setresgid, 65534, 65534, 65534) != 0 ||
			    syscall(SYS_setresuid, 65534, 65534, 65534) != 0) {
				ADD_FAILURE() << "nobody in " << side << ": " <<
				    failed();
				return;
			}
			const int fd = open(inside.c_str(),
			    O_RDONLY | O_NONBLOCK | O_CLOEXEC);
			all = fd >= 0 ? "ok " : failed() + " ";
			close(fd);
			all += list_attributes(inside);
		}).join();
		return all;
	};
	using answer_of = std::function<text(const text &)>;
	const std::pair<const char *, answer_of> probes[] = {
	    {"lstat", [&](const text &p) { struct stat st {};
		return attributes(lstat(p.c_str(), &st), st); }},
	    {"stat", [&](const text &p) { struct stat st {};
		return attributes(stat(p.c_str(), &st), st); }},
	    // No birth time: see BUGS.
	    {"statx", [&](const text &p) { struct statx st {};
		return statx(AT_FDCWD, p.c_str(), AT_SYMLINK_NOFOLLOW,
		    STATX_ALL, &st) != 0 ? failed() :
		    std::to_string(st.stx_mask & ~STATX_BTIME) + " " +
		    std::to_string(st.stx_attributes); }},
	    {"readdir", listing},
	    {"readlink", [&](const text &p) { const ssize_t n = readlink(
		p.c_str(), buffer, sizeof buffer);
		return n < 0 ? failed() :
		    text(buffer, static_cast<std::size_t>(n)); }},
	    {"access", [&](const text &p) { text all;
		for (const int how : {F_OK, R_OK, W_OK, X_OK})
			all += access(p.c_str(), how) == 0 ? "ok " :
			    failed() + " ";
		return all; }},
	    {"open", [&](const text &p) { text all;
		for (const int how :
		    {O_RDONLY, O_DIRECTORY, O_NOFOLLOW, O_PATH}) {
			const int fd = open(p.c_str(),
			    how | O_NONBLOCK | O_CLOEXEC);
			all += fd >= 0 ? "ok " : failed() + " ";
			close(fd);
		}
		return all; }},
	    {"chdir", [&](const text &p) { const int back = open(".", O_PATH);
		struct stat st {};
		text result = chdir(p.c_str()) != 0 ? failed() :
		    attributes(lstat(".", &st), st);
		EXPECT_EQ(fchdir(back), 0);
		close(back);
		return result; }},
	    {"getxattr", [&](const text &p) { const ssize_t n = lgetxattr(
		p.c_str(), "user.a", buffer, sizeof buffer);
		return n < 0 ? failed() :
		    text(buffer, static_cast<std::size_t>(n)); }},
	    {"listxattr", list_attributes},
	    {"read", [&](const text &p) { const int fd = open(p.c_str(),
		O_RDONLY | O_NONBLOCK | O_CLOEXEC);
		text all = fd < 0 ? failed() : bytes(p, fd);
		close(fd);
		return all; }},
	    {"hold", hold},
	    {"held", read_held},
	    {"as nobody", as_nobody},
	    // As a large listing does, which has folders give up descriptors.
	    {"trim", [&](const text &p) { text all;
		const text &side = p.starts_with(bound) ? bound : at;
		for (int i = 0; i < 40; i++) { struct stat st {};
			all += attributes(lstat((side + "/many/" +
			    std::to_string(i)).c_str(), &st), st); }
		return all; }},
	};
	// An access control list that lets every user read but nobody.
	const std::uint32_t acl[] = {2, 0x70001, 0xffffffff, 0x2, 65534,
	    0x50004, 0xffffffff, 0x50010, 0xffffffff, 0x50020, 0xffffffff};
	const text names[] = {"/a", "/b", "/c", "/a/b", "/a/c", "/b/a", "/c/a",
	    "/a/b/c"};
	const std::function<void(const text &, const text &)> changes[] = {
	    [](const text &p, const text &) {
		std::ofstream(p, std::ios::app) << "more"; },
	    [](const text &p, const text &) { mkdir(p.c_str(), 0750); },
	    [](const text &p, const text &q) { (void)(symlink(q.c_str() + 1,
		p.c_str()) == 0); },
	    [&](const text &p, const text &q) { rename(p.c_str(), (dir +
		q).c_str()); },
	    [&](const text &p, const text &q) { (void)(link(p.c_str(), (dir +
		q).c_str()) == 0); },
	    [](const text &p, const text &) { unlink(p.c_str());
		rmdir(p.c_str()); },
	    [](const text &p, const text &) { (void)(chmod(p.c_str(),
		0701) == 0); },
	    [](const text &p, const text &q) { lsetxattr(p.c_str(), "user.a",
		q.data(), q.size(), 0); },
	    [](const text &p, const text &q) { lsetxattr(p.c_str(), "trusted.a",
		q.data(), q.size(), 0); },
	    [&](const text &p, const text &) { lsetxattr(p.c_str(),
		"system.posix_acl_access", acl, sizeof acl, 0); },
	    // As rsync and editors replace a file, which a reader may hold.
	    [](const text &p, const text &q) { const text next = p + "~";
		std::ofstream(next) << q;
		if (rename(next.c_str(), p.c_str()) != 0)
			unlink(next.c_str()); },
	};
	std::mt19937 random(2026);
	std::vector<text> differences;
	for (int i = 0; i < 3000; i++) {
		const text &path = names[random() % std::size(names)];
		if (random() % 3 == 0) {
			changes[random() % std::size(changes)](dir + path,
			    names[random() % std::size(names)]);
			continue;
		}
		const auto &[what, probe] =
		    probes[random() % std::size(probes)];
		const text expected = probe(bound + path);
		const text got = probe(at + path);
		if (got != expected)
			differences.push_back(text(what).append(" ")
			    .append(path).append(": ").append(expected)
			    .append(" | ").append(got));
	}
	for (const auto &[path, fd] : held)
		close(fd);
	EXPECT_EQ(differences, std::vector<text>{});
}

// What users expect of a writable view is what a writable bind mount of
// DIR does: the same seeded changes, made through both to two copies of
// one folder, as root and as another user, must answer alike, and leave
// in the view's DIR the transform of what the bind mount's holds.
TEST_F(View, ChangesAsAWritableBindMountOfDirDoes)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "a bind mount needs root";
	const std::string plain = make_temp_dir();
	const std::string dir = make_temp_dir();
	const std::string bound = mount_point();
	ASSERT_EQ(::mount(plain.c_str(), bound.c_str(), nullptr, MS_BIND,
	    nullptr), 0);
	for (const std::string &d : {plain, dir})
		write_file(d + "/seed", "");
	const std::string at = mount(dir, "secret", {"-o",
	    "writable,passcheck=" + make_temp_dir() + "/check,allow_other,"
	    "entry_timeout=0,attr_timeout=0"});
	for (const std::string &d : {plain, dir, std::filesystem::path(dir)
	    .parent_path().string()})
		chmod(d.c_str(), 0777);

	using text = std::string;
	const auto told = [](long result) {
		return result < 0 ? text("error ") + strerrorname_np(errno) :
		    text("ok");
	};
	const auto with_fd = [&](const text &p, int flags, const auto &use) {
		const int fd = open(p.c_str(), flags | O_CLOEXEC, 0640);
		text said = fd < 0 ? told(-1) : told(use(fd));
		close(fd);
		return said;
	};
	// What p is: its type, mode, links and owner, and a file's bytes.
	const auto shown = [&](const text &p) {
		struct stat st {};
		if (lstat(p.c_str(), &st) != 0)
			return told(-1);
		return std::to_string(st.st_mode) + " " + std::to_string(
		    st.st_nlink) + " " + std::to_string(st.st_uid) + ":" +
		    std::to_string(st.st_gid) + " " + (S_ISREG(st.st_mode) ?
		    read_file(p) : "");
	};
	const text data = random_string(20000, 31);
	using text_ref = const text &;
	const std::function<text(text_ref, text_ref, unsigned)> changes[] = {
	    [&](text_ref p, text_ref, unsigned r) { return with_fd(p, O_WRONLY |
		O_CREAT, [&](int fd) { return pwrite(fd, data.data() + r % 1000,
		r % 9000, r % 20000); }); },
	    [&](text_ref p, text_ref, unsigned r) { return with_fd(p, O_WRONLY |
		O_APPEND, [&](int fd) { return write(fd, data.data(),
		r % 5000); }); },
	    [&](text_ref p, text_ref, unsigned) { return with_fd(p, O_WRONLY |
		O_TRUNC, [](int) { return 0; }); },
	    [&](text_ref p, text_ref, unsigned) { return with_fd(p, O_WRONLY |
		O_CREAT | O_EXCL, [](int) { return 0; }); },
	    [&](text_ref p, text_ref, unsigned r) {
		return told(truncate(p.c_str(), r % 30000)); },
	    [&](text_ref p, text_ref, unsigned r) { return with_fd(p, O_RDWR,
		[&](int fd) { return fallocate(fd, r % 2 != 0 ?
		FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE : 0, r % 8000,
		r % 9000 + 1); }); },
	    // Written back by the kernel from its pages, a page at a time.
	    [&](text_ref p, text_ref, unsigned r) { return with_fd(p, O_RDWR,
		[&](int fd) { struct stat st {};
		if (fstat(fd, &st) != 0 || st.st_size < 4096)
			return -1L;
		void *m = mmap(nullptr, 4096, PROT_READ | PROT_WRITE,
		    MAP_SHARED, fd, 0);
		if (m == MAP_FAILED)
			return -1L;
		static_cast<char *>(m)[r % 4096] ^= 0x5a;
		msync(m, 4096, MS_SYNC);
		munmap(m, 4096);
		return static_cast<long>(fsync(fd)); }); },
	    // To the same place in a block, and to another.
	    [&](text_ref p, text_ref q, unsigned r) { return with_fd(p,
		O_RDONLY, [&](int in) { const int out = open(q.c_str(),
		O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
		off_t from = r % 3000;
		off_t to = r % 2 != 0 ? from + 8192 : r % 5000;
		const ssize_t n = copy_file_range(in, &from, out, &to,
		    r % 7000, 0);
		close(out);
		return n; }); },
	    [&](text_ref p, text_ref, unsigned) {
		return told(unlink(p.c_str())); },
	    [&](text_ref p, text_ref, unsigned) {
		return told(mkdir(p.c_str(), 0750)); },
	    [&](text_ref p, text_ref, unsigned) {
		return told(rmdir(p.c_str())); },
	    [&](text_ref p, text_ref q, unsigned r) { return told(syscall(
		SYS_renameat2, AT_FDCWD, p.c_str(), AT_FDCWD, q.c_str(),
		r % 3 == 0 ? 0 : r % 3 == 1 ? RENAME_NOREPLACE :
		RENAME_EXCHANGE)); },
	    [&](text_ref p, text_ref q, unsigned) {
		return told(link(p.c_str(), q.c_str())); },
	    [&](text_ref p, text_ref q, unsigned) {
		return told(symlink(q.c_str() + q.rfind('/') + 1,
		    p.c_str())); },
	    // Set-id bits too, which a write or a cut by another drops.
	    [&](text_ref p, text_ref, unsigned r) {
		return told(chmod(p.c_str(), r % 3 == 0 ? 06777 :
		    0600 | (r % 8) << 3)); },
	    [&](text_ref p, text_ref, unsigned r) {
		return told(lchown(p.c_str(), r % 2 != 0 ? 65534 : 0,
		    65534)); },
	    [&](text_ref p, text_ref, unsigned r) {
		const timespec times[2] = {{r, 0}, {r / 2, 0}};
		return told(utimensat(AT_FDCWD, p.c_str(), times,
		    AT_SYMLINK_NOFOLLOW)); },
	    [&](text_ref p, text_ref q, unsigned) { return told(lsetxattr(
		p.c_str(), "user.a", q.data(), q.size(), 0)); },
	    [&](text_ref p, text_ref, unsigned) {
		return told(lremovexattr(p.c_str(), "user.a")); },
	};
	const text names[] = {"/a", "/b", "/c", "/d", "/d/a", "/d/b"};
	std::mt19937 random(2036);
	std::vector<text> differences;
	for (int i = 0; i < 2000; i++) {
		const text &p = names[random() % std::size(names)];
		const text &q = names[random() % std::size(names)];
		const auto &change = changes[random() % std::size(changes)];
		const auto r = static_cast<unsigned>(random());
		// As another user too, in a thread the raw calls make nobody,
		// whose umask and owner a file it makes must get; from inside
		// either side, which nobody may not reach from TMPDIR.
		const auto through = [&](const text &side) {
			text said;
			std::thread([&] {
				if (unshare(CLONE_FS) != 0 ||
				    chdir(side.c_str()) != 0 || (r % 4 == 0 &&
				    (syscall(SYS_setgroups, 0, nullptr) != 0 ||
				    syscall(SYS_setresgid, 65534, 65534,
				    65534) != 0 || syscall(SYS_setresuid,
				    65534, 65534, 65534) != 0))) {
					said = "nobody in " + side + ": " +
					    told(-1);
					return;
				}
				umask(r % 4 == 0 ? 027 : 022);
				said = change("." + p, "." + q, r) + " | " +
				    shown("." + p) + " | " + shown("." + q);
			}).join();
			return said;
		};
		const text expected = through(bound);
		const text got = through(at);
		if (got != expected)
			differences.push_back(p + " " + q + ": " + expected +
			    " || " + got);
	}
	EXPECT_EQ(differences, std::vector<text>{});
	// FIFOs, sockets and devices are made neither through it nor in DIR,
	// and one of DIR's is neither replaced nor removed through it.
	EXPECT_EQ(mkfifo((at + "/fifo").c_str(), 0600), -1);
	EXPECT_EQ(errno, EPERM);
	ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
	write_file(at + "/over", "x");
	EXPECT_EQ(rename((at + "/over").c_str(), (at + "/fifo").c_str()), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(unlink((at + "/fifo").c_str()), -1);
	struct stat fifo {};
	EXPECT_TRUE(lstat((dir + "/fifo").c_str(), &fifo) == 0 &&
	    S_ISFIFO(fifo.st_mode));
	ASSERT_EQ(unlink((dir + "/fifo").c_str()), 0);
	ASSERT_EQ(unlink((at + "/over").c_str()), 0);
	// DIR holds the transform of what was written, name for name.
	std::vector<text> kept;
	std::vector<text> wanted;
	for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
		kept.push_back(e.path().string().substr(dir.size()) + " " +
		    (e.is_regular_file() && !e.is_symlink() ?
		    read_file(e.path()) : ""));
	for (const auto &e :
	    std::filesystem::recursive_directory_iterator(plain))
		wanted.push_back(e.path().string().substr(plain.size()) + " " +
		    (e.is_regular_file() && !e.is_symlink() ?
		    viewed(read_file(e.path())) : ""));
	std::sort(kept.begin(), kept.end());
	std::sort(wanted.begin(), wanted.end());
	EXPECT_TRUE(kept == wanted);
}
