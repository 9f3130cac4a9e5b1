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
		const std::string input = random_string(size, size);
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
	for (const std::size_t size : {1, 8192, 8193}) {
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

TEST(Stream, TakesALoneHyphenAsAFileName)
{
	const std::string input = random_string(100, 2);
	const std::string dir = make_temp_dir();
	const std::string empty = make_temp_dir();
	write_file(dir + "/-", input);

	const tool_result named = run_tool({tool, "-", "secret"},
	    {.dir = dir.c_str()});
	EXPECT_EQ(named.status, 0);
	EXPECT_EQ(named.out, scrambled(input));

	const tool_result absent = run_tool({tool, "-", "secret"},
	    {.dir = empty.c_str()});
	EXPECT_EQ(absent.status, 1);
	EXPECT_EQ(absent.err, "encrypt_video: could not open -.\n");
	EXPECT_EQ(absent.out, "");
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

TEST(Refusals, UsageUnlessTwoOperandsOrHelpOrVersion)
{
	const std::string path = scratch_file("usage", "x");

	for (const auto &argv : {std::vector<std::string>{tool},
	    std::vector<std::string>{tool, path},
	    std::vector<std::string>{tool, "--helpx"}}) {
		const tool_result result = run_tool(argv);
		EXPECT_EQ(result.status, 1);
		EXPECT_EQ(result.err, "usage: encrypt_video FILE PASSWORD\n");
		EXPECT_EQ(result.out, "");
	}
	EXPECT_EQ(run_tool({"./bin/ev"}).err, "usage: ./bin/ev FILE PASSWORD\n");

	const tool_result help = run_tool({tool, "--help"});
	EXPECT_EQ(help.status, 0);
	EXPECT_TRUE(help.out.starts_with("usage: encrypt_video FILE PASSWORD\n"));
	EXPECT_NE(help.out.find("encrypt_video(1)"), std::string::npos);
	const tool_result version = run_tool({tool, "--version"});
	EXPECT_EQ(version.status, 0);
	EXPECT_EQ(version.out, "encrypt_video " ENCRYPT_VIDEO_VERSION "\n");
	EXPECT_EQ(help.err + version.err, "");

	// Beside a password they are file names, as every operand is.
	EXPECT_EQ(run_tool({tool, "--version", "pw"}).err,
	    "encrypt_video: could not open --version.\n");
	const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	EXPECT_EQ(run_tool({tool, "--help"}, full).status, 1);
	close(full);
}

TEST(Refusals, InputThatCannotBeOpened)
{
	// A stray operand is told first; a password of key 0 only once the
	// input is open.
	const tool_result result = run_tool({"/opt/x/ev", "/no/such/file", "ai",
	    "x"});

	EXPECT_EQ(result.status, 1);
	EXPECT_EQ(result.err, "/opt/x/ev: ignoring what follows the password; "
	    "quote a password that has spaces.\n"
	    "/opt/x/ev: could not open /no/such/file.\n");
	EXPECT_EQ(result.out, "");
}

TEST(Refusals, PasswordThatGivesKeyZero)
{
	const tool_result result = run_tool({tool, scratch_file("zero", "abc"), "ai"});

	EXPECT_EQ(result.status, 1);
	EXPECT_EQ(result.err, "encrypt_video: this password gives no "
	    "scrambling at all; choose another.\n");
	EXPECT_EQ(result.out, "");
}

TEST(Refusals, OutputThatIsTheInput)
{
	const std::string input = random_string(block_size + 1, 4);
	const std::string path = scratch_file("same", input);
	const std::string line = "encrypt_video: " + path +
	    ": input file is output file.\n";

	for (const int mode : {O_APPEND, O_TRUNC}) {
		const int out = open(path.c_str(), O_WRONLY | mode);
		const tool_result result = run_tool({tool, path, "secret"}, out);
		close(out);
		EXPECT_EQ(result.status, 1);
		EXPECT_EQ(result.err, line);
		if (mode == O_APPEND) {
			EXPECT_EQ(read_file(path), input);
		}
	}

	// Not another file beside it.
	const int beside = open(scratch_file("beside", "").c_str(),
	    O_WRONLY | O_CLOEXEC);
	EXPECT_EQ(run_tool({tool, path, "secret"}, beside).status, 0);
	close(beside);

	// Not /dev/null both ways, which is no regular file.
	const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
	const tool_result device = run_tool({tool, "/dev/null", "secret"}, null);
	close(null);
	EXPECT_EQ(device.status, 0) << device.err;

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
}

TEST(Refusals, TerminalAsOutput)
{
	const auto [master, terminal] = open_terminal();
	if (terminal < 0)
		GTEST_SKIP() << "no pseudo-terminal here (/dev/pts)";

	const tool_result result = run_tool(
	    {tool, scratch_file("tty", "abc"), "secret"}, terminal);
	close(terminal);
	char byte;
	EXPECT_LE(read(master, &byte, 1), 0);
	close(master);

	EXPECT_EQ(result.status, 1);
	EXPECT_EQ(result.err, "encrypt_video: refusing to write binary output "
	    "to a terminal; redirect it to a file or a pipe.\n");
}

TEST(Faults, ReadErrorIsNotTheEndOfTheInput)
{
	const std::string dir = make_temp_dir();

	const tool_result directory = run_tool({tool, dir, "secret"});
	EXPECT_EQ(directory.status, 1);
	EXPECT_EQ(directory.err, "encrypt_video: could not read " + dir +
	    ": Is a directory.\n");
	EXPECT_EQ(directory.out, "");

	if (access("/proc/self/mem", R_OK) != 0)
		GTEST_SKIP() << "no /proc here";
	const tool_result memory = run_tool({tool, "/proc/self/mem", "secret"});
	EXPECT_EQ(memory.status, 1);
	EXPECT_EQ(memory.err, "encrypt_video: could not read /proc/self/mem: "
	    "Input/output error.\n");
}

TEST(Faults, WriteErrorIsNotSuccess)
{
	const std::string path = scratch_file("written", random_string(100, 5));
	const int full = open("/dev/full", O_WRONLY);

	const tool_result no_space = run_tool({tool, path, "secret"}, full);
	close(full);
	EXPECT_EQ(no_space.status, 1);
	EXPECT_EQ(no_space.err, "encrypt_video: could not write the output: "
	    "No space left on device.\n");

	const tool_result closed = run_tool({tool, path, "secret"}, closed_output);
	EXPECT_EQ(closed.status, 1);
	EXPECT_EQ(closed.err, "encrypt_video: could not write the output: "
	    "Bad file descriptor.\n");
}

TEST(Stream, WaitsOnANonBlockingOutputInsteadOfFailing)
{
	const std::string input = random_string(64 * block_size + 9, 6);
	const std::string path = scratch_file("nonblocking", input);

	for (const bool socket : {false, true}) {
		int ends[2];
		ASSERT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC,
		    0, ends) : pipe2(ends, O_CLOEXEC), 0);
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
