#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "files.h"
#include "nodes.h"

namespace {

// A table of dir as a view of it holds one, its nodes made as the kernel
// makes them by looking names up; unless told, a lookup holds no file.
struct table_of {
	node_table t;
	table_of(const std::string &dir, unsigned long fds,
	    std::chrono::milliseconds hold = {})
	    : t(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), fds, fds,
	      hold)
	{
	}

	node *
	find(node &parent, const char *name, int *error = nullptr)
	{
		struct stat st {};
		node *found = nullptr;
		const int got = t.look_up(parent, name, st, found);
		if (error != nullptr)
			*error = got;
		return got == 0 ? found : nullptr;
	}

	// The inode number of the file that n's descriptor reaches now, or
	// the negative errno of why none does.
	long
	reach(node &n)
	{
		const node_table::held held(t, n);
		struct stat st {};
		return held.fd() < 0 ? held.fd() : fstat(held.fd(), &st) != 0 ?
		    -errno : static_cast<long>(st.st_ino);
	}
};

// Whether this process holds a file of dir that is deleted, which keeps its
// blocks from being freed.
bool
holds_deleted(const std::string &dir)
{
	for (const auto &fd :
	    std::filesystem::directory_iterator("/proc/self/fd")) {
		std::error_code error;
		const std::string target =
		    std::filesystem::read_symlink(fd, error);
		if (target.starts_with(dir) && target.ends_with(" (deleted)"))
			return true;
	}
	return false;
}

// Each body as root finds files by handle, where DIR's file system has
// them, and as any other user does, by name: run by a thread without the
// right to open by handle.
void
by_name_and_by_handle(const std::function<void(bool)> &body)
{
	std::thread([&] {
		__user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
		__user_cap_data_struct caps[2]{};
		syscall(SYS_capget, &header, caps);
		caps[0].effective &= ~(1u << CAP_DAC_READ_SEARCH);
		syscall(SYS_capset, &header, caps);
		SCOPED_TRACE("by name");
		body(false);
	}).join();
	if (geteuid() == 0) {
		SCOPED_TRACE("by handle");
		body(true);
	}
}

}

TEST(Nodes, OnePerFileOfDirWhateverItsNamesAndFoundAgainOnlyAsItself)
{
	by_name_and_by_handle([](bool by_handle) {
		const std::string dir = make_temp_dir();
		write_file(dir + "/f", "old");
		ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);
		write_file(dir + "/d/inner", "x");
		ASSERT_EQ(link((dir + "/f").c_str(),
		    (dir + "/d/same").c_str()), 0);
		ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
		ASSERT_EQ(mkdir((dir + "/other").c_str(), 0755), 0);
		table_of u(dir, 1);
		node &root = u.t.root();

		node *f = u.find(root, "f");
		node *d = u.find(root, "d");
		ASSERT_NE(f, nullptr);
		ASSERT_NE(d, nullptr);
		EXPECT_EQ(u.find(*d, "same"), f);
		int error = 0;
		EXPECT_EQ(u.find(root, "fifo", &error), nullptr);
		EXPECT_EQ(error, -ENOENT);
		// Replaced by rename, the name leads to a new node; the old one
		// stays the old file's, found by its other name.
		write_file(dir + "/g", "new");
		ASSERT_EQ(rename((dir + "/g").c_str(),
		    (dir + "/f").c_str()), 0);
		node *replaced = u.find(root, "f");
		EXPECT_NE(replaced, f);
		EXPECT_EQ(u.t.size(), 3u);
		// Files keep no descriptor, and folders one between them here:
		// each is found again.
		node *other = u.find(root, "other");
		EXPECT_EQ(u.t.descriptors(), 1u);
		EXPECT_GT(u.reach(*replaced), 0);
		EXPECT_EQ(u.reach(*f), static_cast<long>(f->id.inode));
		EXPECT_GT(u.reach(*d), 0);
		write_file(dir + "/g", "newer");
		ASSERT_EQ(rename((dir + "/g").c_str(),
		    (dir + "/f").c_str()), 0);
		EXPECT_EQ(u.reach(*replaced), -ESTALE);
		u.t.forget(*replaced, 1);
		// A folder renamed after giving up its descriptor (to other) is
		// still found by its handle, where it has one.
		EXPECT_GT(u.reach(*other), 0);
		ASSERT_EQ(rename((dir + "/d").c_str(),
		    (dir + "/e").c_str()), 0);
		alignas(file_handle) unsigned char probe[sizeof(file_handle) +
		    MAX_HANDLE_SZ] = {};
		auto *handle = reinterpret_cast<file_handle *>(probe);
		handle->handle_bytes = MAX_HANDLE_SZ;
		int mount_id = 0;
		node *inner = u.find(*d, "inner");
		EXPECT_EQ(inner != nullptr, by_handle &&
		    name_to_handle_at(AT_FDCWD, dir.c_str(), handle,
		    &mount_id, 0) == 0);
		if (inner != nullptr)
			u.t.forget(*inner, 1);
		// Held, the file is still reached however its name goes, and
		// once its last reader lets go, nothing keeps it from being
		// freed.
		for (const char *change : {"mv a c", "mv h a", "rm a"}) {
			write_file(dir + "/a", "held");
			write_file(dir + "/h", "");
			node *open_node = u.find(root, "a");
			const int fd = open((dir + "/a").c_str(),
			    O_RDONLY | O_CLOEXEC);
			u.t.opened(*open_node, fd);
			const std::string command = "cd " + dir + " && " +
			    change;
			// NOLINTNEXTLINE(cert-env33-c): the test's own line
			ASSERT_EQ(std::system(command.c_str()), 0);
			EXPECT_EQ(u.reach(*open_node),
			    static_cast<long>(open_node->id.inode)) << change;
			u.t.released(*open_node, fd);
			EXPECT_EQ(holds_deleted(dir), false) << change;
			u.t.forget(*open_node, 1);
			unlink((dir + "/c").c_str());
		}

		// The open that follows a lookup opens the file the lookup
		// found, however fast its name is replaced; soon the table
		// holds it no more.
		table_of quick(dir, 1, lookup_hold);
		write_file(dir + "/a", "looked up");
		node *r = quick.find(quick.t.root(), "a");
		ASSERT_NE(r, nullptr);
		ASSERT_EQ(rename((dir + "/h").c_str(),
		    (dir + "/a").c_str()), 0);
		EXPECT_EQ(quick.reach(*r), static_cast<long>(r->id.inode));
		std::this_thread::sleep_for(2 * lookup_hold);
		EXPECT_EQ(holds_deleted(dir), false);
		EXPECT_EQ(quick.reach(*r), -ESTALE);

		u.t.forget(*other, 1);
		u.t.forget(*d, 1);
		u.t.forget(*f, 2);
		EXPECT_EQ(u.t.size(), 0u);
		EXPECT_EQ(u.t.descriptors(), 0u);
	});
}

// ext4 gives a new file the inode number of one just deleted, at once: a
// node must never take the new file for its own, at a limit where one
// folder alone keeps a descriptor.
TEST(Nodes, NeverTakeTheFileThatReusesAnInodeNumberForTheOneThatHadIt)
{
	const std::string fs = make_temp_dir();
	const std::string image = fs + ".ext4";
	const std::string make = "truncate -s 64M " + image +
	    " && mkfs.ext4 -q " + image + " && mount -o loop " + image + " " +
	    fs + " 2>/dev/null";
	// NOLINTNEXTLINE(cert-env33-c): the test's own line
	if (geteuid() != 0 || std::system(make.c_str()) != 0)
		GTEST_SKIP() <<
		    "no ext4 image here (root, mkfs.ext4, a loop device)";
	const std::unique_ptr<const char, void (*)(const char *)> unmount(
	    fs.c_str(), [](const char *at) { umount2(at, MNT_DETACH); });
	const std::string film(56000, 'x');
	int row = 0;
	by_name_and_by_handle([&](bool) {
		const std::string dir = fs + "/" + std::to_string(row++);
		ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
		const auto file = [&](const char *name, std::size_t size) {
			write_file(dir + "/" + name, film.substr(0, size));
			const timespec times[2] = {{1000000, 0}, {1000000, 0}};
			utimensat(AT_FDCWD, (dir + "/" + name).c_str(),
			    times, 0);
		};
		const auto gone = [&](const char *name) {
			return unlink((dir + "/" + name).c_str()) == 0 ||
			    rmdir((dir + "/" + name).c_str()) == 0;
		};
		table_of u(dir, 1);
		node &root = u.t.root();

		file("a", 5000);
		node *a = u.find(root, "a");
		ASSERT_TRUE(gone("a"));
		file("b", 5000);
		node *b = u.find(root, "b");
		ASSERT_NE(b, nullptr);
		EXPECT_EQ(b->id.inode, a->id.inode) <<
		    "not reused: proves nothing";
		EXPECT_NE(a, b) <<
		    "deleted, and another made with its size and time";
		EXPECT_EQ(u.reach(*a), -ESTALE);
		ASSERT_TRUE(gone("b"));
		file("b", 56000);
		EXPECT_NE(u.find(root, "b"), b) << "replaced, larger";
		EXPECT_EQ(u.reach(*b), -ESTALE);

		ASSERT_EQ(mkdir((dir + "/f").c_str(), 0755), 0);
		node *f = u.find(root, "f");
		ASSERT_TRUE(gone("f"));
		ASSERT_EQ(mkdir((dir + "/f").c_str(), 0755), 0);
		file("f/impostor", 1);
		// As on DIR, a process in the old folder stays there; once the
		// folder has given up its descriptor, it is lost to it.
		EXPECT_EQ(u.reach(*f), static_cast<long>(f->id.inode));
		ASSERT_EQ(mkdir((dir + "/g").c_str(), 0755), 0);
		EXPECT_NE(u.find(root, "g"), nullptr);
		EXPECT_EQ(u.reach(*f), -ESTALE) << "a folder made again";
	});
}
