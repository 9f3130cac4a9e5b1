#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "run_tool.h"
#include "scramble.h"

namespace {

const std::string tool = "encrypt_video";

}

TEST(Passwords, EveryByteCountsUnsigned)
{
	const std::string input = random_string(3 * block_size, 9);
	const std::string path = scratch_file("passwords", input);
	std::string high;
	for (int c = 0x80; c <= 0xff; c++)
		high += static_cast<char>(c);
	std::string long_one;
	for (int i = 0; i < 10000; i++)
		long_one += "abcdefghij";

	// Keys worked out apart from the tool's own code.
	const std::pair<std::string, std::int32_t> cases[] = {
	    {"", 26}, {high, 51}, {long_one, 54}};
	for (const auto &[password, key] : cases) {
		const tool_result result = run_tool({tool, path, password});
		EXPECT_EQ(result.status, 0);
		EXPECT_EQ(result.out, expected_output(input, key))
		    << password.size() << " bytes";
	}
}

TEST(Passwords, GoneFromTheCommandLineBeforeTheInputOpens)
{
	if (access("/proc/self/cmdline", R_OK) != 0)
		GTEST_SKIP() << "no /proc here";
	const std::string fifo = scratch_file("waiting", "");
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

	// With no writer yet, the tool waits in its open of the FIFO.
	const std::string password = "do not show me";
	const tool_process process = start_tool({tool, fifo, password});
	// Not a byte of it left, however little.
	const std::string wiped = tool + '\0' + fifo + '\0' +
	    std::string(password.size() + 1, '\0');
	std::string seen;
	for (int tries = 0; tries < 500 && seen != wiped; tries++) {
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
		seen = read_file("/proc/" + std::to_string(process.pid) +
		    "/cmdline");
	}
	EXPECT_EQ(seen, wiped);

	const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
	ASSERT_GE(writer, 0);
	ASSERT_EQ(write(writer, "abc", 3), 3);
	close(writer);
	const tool_result result = finish_tool(process);
	EXPECT_EQ(result.status, 0);
	EXPECT_EQ(result.out, scrambled("abc", password.c_str()));
}

TEST(Faults, ReaderThatClosesEarly)
{
	// Far more than the pipe holds, so the tool is still writing.
	const std::string path = scratch_file("early",
	    random_string(1024 * block_size, 10));
	std::size_t got = 0;

	const tool_result result = finish_tool(
	    start_tool({tool, path, "secret"}),
	    [&](std::string_view chunk) {
		    got += chunk.size();
		    return got < 10;
	    });
	EXPECT_EQ(result.status, 128 + SIGPIPE);
	EXPECT_EQ(result.err, "");
}

TEST(Faults, FailedSystemCallsAreNeverSuccess)
{
	// Over 16 blocks, so that a read error can come after whole blocks.
	const std::string input = random_string(20 * block_size + 7, 11);
	const std::string path = scratch_file("faults", input);
	const std::string all = expected_output(input, 1);
	const std::string read_error = "encrypt_video: could not read " + path;
	const std::string write_error = "encrypt_video: could not write "
	    "the output: ";
	const struct {
		const char *fault;
		int status;
		std::string err;
		std::size_t out;
	} cases[] = {
	    {"read:2:EIO", 1, read_error + ": Input/output error.\n",
		16 * block_size},
	    {"fstat:1:EIO", 1, read_error + ": Input/output error.\n", 0},
	    {"write:1:0", 1, write_error + "No space left on device.\n", 0},
	    {"write:1:EAGAIN,poll:1:ENOMEM", 1,
		write_error + "Cannot allocate memory.\n", 0},
	    {"close:1:EIO", 1, write_error + "Input/output error.\n",
		all.size()},
	    {"read:1:EINTR,write:1:EAGAIN,poll:1:EINTR,write:2:EINTR,"
		"close:1:EINTR", 0, "", all.size()},
	};
	for (const auto &c : cases) {
		const tool_result result = run_tool({tool, path, "aj"},
		    {.env = {"LD_PRELOAD=" FAULT_SHIM,
		    std::string("ENCRYPT_VIDEO_FAULT=") + c.fault,
		    "ASAN_OPTIONS=verify_asan_link_order=0"}});
		EXPECT_EQ(result.status, c.status) << c.fault;
		EXPECT_EQ(result.err, c.err) << c.fault;
		EXPECT_TRUE(result.out == all.substr(0, c.out)) << c.fault <<
		    ": " << result.out.size() << " bytes out";
	}
}
