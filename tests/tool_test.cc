#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "run_tool.h"
#include "scramble.h"

namespace {

const std::string tool = "encrypt_video";

}

TEST(Stream, WritesWholeBlocksThatRestoreTheInput)
{
	for (const std::size_t size : {std::size_t{0}, std::size_t{1},
	    block_size - 1, block_size, block_size + 1, 40 * block_size + 3}) {
		const std::string input = random_string(size,
		    static_cast<unsigned>(size));
		const std::string path = scratch_file("plain", input);
		const tool_result out = run_tool({tool, path, "secret"});
		EXPECT_EQ(out.status, 0);
		EXPECT_EQ(out.err, "");
		ASSERT_EQ(out.out, scrambled(input)) << size;

		// Operands after the password change nothing but are told.
		const std::string back = scratch_file("scrambled", out.out);
		const tool_result restored = run_tool(
		    {tool, back, "secret", "more", "-x"});
		EXPECT_EQ(restored.status, 0);
		EXPECT_EQ(restored.err, "encrypt_video: ignoring what follows "
		    "the password; quote a password that has spaces.\n");
		EXPECT_EQ(restored.out, padded(input)) << size;
	}
}

// Worked out by hand and written as numbers, so that a wrong block size or
// spacing in the code cannot be agreed with here.  Key 3 ("al") spaces its
// candidates 96 apart, which does not divide 8192: position 8192 is one
// only because positions restart with every block.
TEST(Format, KnownAnswers)
{
	for (const std::size_t size : {1u, 8192u, 8193u}) {
		const tool_result out = run_tool({tool,
		    scratch_file("known", std::string(size, '\x10')), "al"});
		ASSERT_EQ(out.out.size(), size == 8193 ? 16384u : 8192u);
		for (std::size_t p = 0; p < out.out.size(); p++) {
			const std::size_t want = p >= size ? 0 :
			    p % 8192 % 96 == 0 ? 0x13 : 0x10;
			ASSERT_EQ(static_cast<std::uint8_t>(out.out[p]), want)
			    << size << " bytes, at " << p;
		}
	}
}

TEST(Stream, ReadsAPipeInBlocksWhateverPiecesItDelivers)
{
	const std::string input = random_string(70 * block_size + 5, 3);
	const std::string fifo = scratch_file("fifo", "");
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

	const tool_process process = start_tool({tool, fifo, "secret"});
	const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	// Where allowed, room for a burst far larger than what the tool's
	// buffer has left.
	fcntl(fd, F_SETPIPE_SZ, 1 << 20);
	std::size_t at = 0;
	const auto feed = [&](std::size_t n) {
		n = std::min(n, input.size() - at);
		at += static_cast<std::size_t>(write(fd, &input[at], n));
	};

	// A live stream: its first block comes out before the next goes in.
	feed(block_size);
	std::string out(block_size, '\0');
	for (std::size_t got = 0; got < out.size();) {
		pollfd ready{process.out, POLLIN, 0};
		ASSERT_EQ(poll(&ready, 1, 10000), 1) << "no block after 10 s";
		got += static_cast<std::size_t>(read(process.out, &out[got],
		    out.size() - got));
	}
	// Read while it is fed: in pipes of the smallest size the burst would
	// fill both and leave the tool and the test waiting on each other.
	tool_result result;
	std::thread reader([&] { result = finish_tool(process); });
	// A short piece, then a burst while the tool waits for the rest.
	feed(5000);
	usleep(200000);
	feed(400000);
	const std::size_t pieces[] = {1, 1000, 8191, 3, 12289, 4096};
	for (std::size_t i = 0; at < input.size(); i++) {
		feed(pieces[i % 6]);
		usleep(300);
	}
	close(fd);
	reader.join();
	unlink(fifo.c_str());

	EXPECT_EQ(result.status, 0) << result.err;
	EXPECT_TRUE(out + result.out == scrambled(input));
}

// Each command line the tool refuses or fails on, and beside some the one
// it takes.
TEST(Refusals, OneLineAndNothingWritten)
{
	const std::string input = random_string(block_size + 1, 4);
	const std::string path = scratch_file("same", input);
	const std::string emptied = scratch_file("emptied", input);
	const std::string dir = make_temp_dir();
	const std::string hyphen = make_temp_dir();
	write_file(hyphen + "/-", input);
	const std::string usage = "usage: encrypt_video FILE PASSWORD\n";
	const std::string write_error = "encrypt_video: could not write the "
	    "output: ";
	const auto same = [](const std::string &file) {
		return "encrypt_video: " + file +
		    ": input file is output file.\n";
	};
	const int appending = open(path.c_str(), O_WRONLY | O_APPEND |
	    O_CLOEXEC);
	const int truncating = open(emptied.c_str(), O_WRONLY | O_TRUNC |
	    O_CLOEXEC);
	const int beside = open(scratch_file("beside", "").c_str(),
	    O_WRONLY | O_CLOEXEC);
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	const auto [master, terminal] = open_terminal();
	struct command_line {
		std::vector<std::string> argv;
		std::string err;
		spawn_options options = {};
		int status = 1;
		// Not redundant: a row that leaves it out would warn.
		std::string out{}; // NOLINT(readability-redundant-member-init)
	};
	std::vector<command_line> cases = {
	    {{tool}, usage},
	    {{tool, path}, usage},
	    {{tool, "--helpx"}, usage},
	    {{"./bin/ev"}, "usage: ./bin/ev FILE PASSWORD\n"},
	    {{tool, "--help"}, "", {}, 0, usage + "Scramble FILE "
		"under PASSWORD and write it to standard output.\nThe same "
		"command on that output, with the same password, gives FILE\n"
		"back, followed by the zero bytes that fill its last 8192-byte "
		"block.\nA scrambler, not encryption: see the manual page, "
		"encrypt_video(1).\n"},
	    {{tool, "--help"}, write_error + "No space left on device.\n",
		{.stdout_fd = full}},
	    {{tool, "--version"}, "", {}, 0,
		"encrypt_video " ENCRYPT_VIDEO_VERSION "\n"},
	    // Beside a password they are file names, as every operand is.
	    {{tool, "--version", "pw"}, "encrypt_video: could not open "
		"--version.\n"},
	    {{tool, "-", "secret"}, "encrypt_video: could not open -.\n",
		{.dir = dir.c_str()}},
	    {{tool, "-", "secret"}, "", {.dir = hyphen.c_str()}, 0,
		scrambled(input)},
	    // A stray operand is told first; a password of key 0 only once the
	    // input is open.
	    {{"/opt/x/ev", "/no/such/file", "ai", "x"}, "/opt/x/ev: ignoring "
		"what follows the password; quote a password that has spaces.\n"
		"/opt/x/ev: could not open /no/such/file.\n"},
	    {{tool, path, "ai"}, "encrypt_video: this password gives no "
		"scrambling at all; choose another.\n"},
	    // A read error is not the end of the input.
	    {{tool, dir, "secret"}, "encrypt_video: could not read " + dir +
		": Is a directory.\n"},
	    {{tool, path, "secret"}, write_error + "No space left on device.\n",
		{.stdout_fd = full}},
	    {{tool, path, "secret"}, write_error + "Bad file descriptor.\n",
		{.stdout_fd = closed_output}},
	    {{tool, path, "secret"}, same(path), {.stdout_fd = appending}},
	    {{tool, emptied, "secret"}, same(emptied),
		{.stdout_fd = truncating}},
	    // Not another file beside it, nor /dev/null both ways, which is no
	    // regular file.
	    {{tool, path, "secret"}, "", {.stdout_fd = beside}, 0},
	    {{tool, "/dev/null", "secret"}, "", {.stdout_fd = null}, 0},
	};
	if (terminal >= 0)
		cases.push_back({{tool, path, "secret"}, "encrypt_video: "
		    "refusing to write binary output to a terminal; redirect "
		    "it to a file or a pipe.\n", {.stdout_fd = terminal}});
	if (access("/proc/self/mem", R_OK) == 0)
		cases.push_back({{tool, "/proc/self/mem", "secret"},
		    "encrypt_video: could not read /proc/self/mem: "
		    "Input/output error.\n"});
	for (const auto &c : cases) {
		SCOPED_TRACE("row " + std::to_string(&c - cases.data()));
		const tool_result result = run_tool(c.argv, c.options);
		EXPECT_EQ(result.status, c.status);
		EXPECT_EQ(result.err, c.err);
		EXPECT_EQ(result.out, c.out);
	}
	EXPECT_EQ(read_file(path), input);
	char byte;
	EXPECT_LE(read(master, &byte, 1), 0);
	for (const int fd : {appending, truncating, beside, null, full, master,
	    terminal})
		close(fd);

	// Nor a file with the input's inode number on another file system: the
	// first file of two new tmpfs mounts, in a mount namespace of our own.
	const char *script = R"sh(
flags=-Urm; [ "$(id -u)" = 0 ] && flags=-m
unshare $flags true 2>/dev/null || exit 77
exec unshare $flags sh -c '
mount -t tmpfs none "$1" && mount -t tmpfs none "$2" || exit 77
echo x > "$1/f" && : > "$2/f"
[ "$(stat -c %i "$1/f")" = "$(stat -c %i "$2/f")" ] || exit 77
exec "$0" "$1/f" secret > "$2/f"' "$0" "$1" "$2")sh";
	const tool_result other = run_tool({"sh", "-c", script, tool_path(),
	    make_temp_dir(), make_temp_dir()}, {.program = "sh"});
	if (other.status == 77)
		GTEST_SKIP() << "cannot mount two file systems here (unshare)";
	EXPECT_EQ(other.status, 0) << other.err;
	if (terminal < 0 || access("/proc/self/mem", R_OK) != 0)
		GTEST_SKIP() <<
		    "no pseudo-terminal (/dev/pts) or no /proc here";
}

TEST(Stream, WaitsOnANonBlockingOutputInsteadOfFailing)
{
	const std::string input = random_string(64 * block_size + 9, 6);
	const std::string path = scratch_file("nonblocking", input);

	for (const bool socket : {false, true}) {
		int ends[2];
		ASSERT_EQ(socket ?
		    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) :
		    pipe2(ends, O_CLOEXEC), 0);
		// The flag lives in the open file, so the child inherits it.
		ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
		const tool_process process = start_tool({tool, path, "secret"},
		    {.stdout_fd = ends[1]});
		close(ends[1]);

		// A reader that stalls long after the buffer is full.
		std::this_thread::sleep_for(std::chrono::seconds(1));
		std::string out;
		char chunk[65536];
		for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;)
			out.append(chunk, static_cast<std::size_t>(n));
		close(ends[0]);
		const tool_result result = finish_tool(process);

		EXPECT_EQ(result.status, 0) << result.err;
		EXPECT_EQ(result.err, "");
		EXPECT_EQ(out.size(), padded(input).size()) << socket;
		EXPECT_TRUE(out == scrambled(input)) << socket;
		// Spinning on EAGAIN would burn the whole stall.
		EXPECT_LT(result.cpu_seconds, 0.3) << socket;
	}
}
