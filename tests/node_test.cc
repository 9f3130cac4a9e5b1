#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "run_tool.h"
#include "view.h"

namespace {

// A view of dir that nothing mounts: its nodes as the kernel would make
// them by looking names up.
struct unmounted {
	view v;
	unmounted(const std::string &dir, unsigned long node_fds, bool handles)
	{
		struct stat st {};
		v.root.fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		fstat(v.root.fd, &st);
		v.root.device = st.st_dev;
		v.root.inode = st.st_ino;
		v.node_fd_limit = node_fds;
		v.handles = handles;
	}
	~unmounted() { close(v.root.fd); }
	unmounted(const unmounted &) = delete;
	unmounted &operator=(const unmounted &) = delete;

	node *
	find(node &parent, const char *name, int *error = nullptr)
	{
		fuse_entry_param e{};
		const int found = look_up(v, parent, name, e);
		if (error != nullptr)
			*error = found;
		return found == 0 ? &node_of(v, e.ino) : nullptr;
	}
};

}

TEST(Nodes, OnePerFileOfDirWhateverItsNamesAndDescriptorsHeld)
{
	// A node is found again by its file handle where the view may open
	// one (as root), and by its last name otherwise.
	for (const bool handles : {false, true}) {
		if (handles && geteuid() != 0)
			break;
		SCOPED_TRACE(handles ? "by handle" : "by name");
		const std::string dir = make_temp_dir();
		write_file(dir + "/f", "old");
		ASSERT_EQ(mkdir((dir + "/d").c_str(), 0755), 0);
		write_file(dir + "/d/inner", "x");
		ASSERT_EQ(link((dir + "/f").c_str(), (dir + "/d/same").c_str()), 0);
		ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
		unmounted u(dir, 1, handles);

		node *f = u.find(u.v.root, "f");
		node *d = u.find(u.v.root, "d");
		ASSERT_NE(f, nullptr);
		ASSERT_NE(d, nullptr);
		EXPECT_EQ(u.find(*d, "same"), f);
		int error = 0;
		EXPECT_EQ(u.find(u.v.root, "fifo", &error), nullptr);
		EXPECT_EQ(error, -ENOENT);
		// Replaced by rename, the name leads to a new node; the old one
		// stays the old file's.
		write_file(dir + "/g", "new");
		ASSERT_EQ(rename((dir + "/g").c_str(), (dir + "/f").c_str()), 0);
		node *replaced = u.find(u.v.root, "f");
		EXPECT_NE(replaced, f);
		EXPECT_EQ(u.v.nodes.size(), 3u);
		// One descriptor for all of them: each is found again by its last
		// name, where that still leads to the same file.
		EXPECT_LE(u.v.with_fd.size(), 1u);
		EXPECT_GE(held_fd(u.v, *replaced).fd(), 0);
		EXPECT_GE(held_fd(u.v, *f).fd(), 0);
		EXPECT_GE(held_fd(u.v, *d).fd(), 0);
		write_file(dir + "/g", "newer");
		ASSERT_EQ(rename((dir + "/g").c_str(), (dir + "/f").c_str()), 0);
		EXPECT_EQ(held_fd(u.v, *replaced).fd(), -ESTALE);
		forget(u.v, *replaced, 1);
		// A folder renamed after giving up its descriptor (to f here) is
		// still found by its handle, where it has one.
		EXPECT_GE(held_fd(u.v, *f).fd(), 0);
		ASSERT_EQ(rename((dir + "/d").c_str(), (dir + "/e").c_str()), 0);
		alignas(file_handle) unsigned char probe[sizeof(file_handle) +
		    MAX_HANDLE_SZ] = {};
		auto *handle = reinterpret_cast<file_handle *>(probe);
		handle->handle_bytes = MAX_HANDLE_SZ;
		int mount_id = 0;
		node *inner = u.find(*d, "inner");
		EXPECT_EQ(inner != nullptr, handles && name_to_handle_at(
		    AT_FDCWD, dir.c_str(), handle, &mount_id, 0) == 0);
		if (inner != nullptr)
			forget(u.v, *inner, 1);

		forget(u.v, *d, 1);
		forget(u.v, *f, 2);
		EXPECT_EQ(u.v.nodes.size(), 0u);
		EXPECT_EQ(u.v.with_fd.size(), 0u);
	}
}
