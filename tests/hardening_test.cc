#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "run_tool.h"
#include "scramble.h"

namespace {

const std::string tool = "encrypt_video";

std::string
cmdline_of(pid_t pid)
{
	return read_file("/proc/" + std::to_string(pid) + "/cmdline");
}

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

TEST(Passwords, GoneFromTheCommandLineWhileStreaming)
{
	const std::string fifo = scratch_file("waiting", "");
	unlink(fifo.c_str());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	// Held open for writing, so the tool's open returns and its first read
	// waits for data.
	const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_GE(writer, 0);

	const std::string password = "do not show me";
	const tool_process process = start_tool({tool, fifo, password});
	const std::string started = tool + '\0' + fifo + '\0';
	std::string seen;
	for (int tries = 0; tries < 500; tries++) {
		seen = cmdline_of(process.pid);
		if (seen.starts_with(started) &&
		    seen.find(password) == std::string::npos)
			break;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	EXPECT_TRUE(seen.starts_with(started));
	EXPECT_EQ(seen.find(password), std::string::npos);

	ASSERT_EQ(write(writer, "abc", 3), 3);
	close(writer);
	const tool_result result = finish_tool(process);
	EXPECT_EQ(result.status, 0);
	EXPECT_EQ(result.out, expected_output("abc",
	    reduce_hash_to_key(compute_djb2_hash(password.c_str()))));
}

TEST(Faults, SparseFileOver4GiB)
{
	const std::string path = scratch_file("sparse", "");
	const off_t size = (off_t{1} << 32) + 1;
	ASSERT_EQ(truncate(path.c_str(), size), 0);

	static const char zeros[1 << 20] = {};
	std::uint64_t total = 0;
	bool all_zero = true;
	const tool_result result = finish_tool(
	    start_tool({tool, path, "secret"}),
	    [&](std::string_view chunk) {
		    total += chunk.size();
		    all_zero = all_zero &&
			std::memcmp(chunk.data(), zeros, chunk.size()) == 0;
		    return true;
	    });
	unlink(path.c_str());

	EXPECT_EQ(result.status, 0);
	EXPECT_EQ(result.err, "");
	EXPECT_EQ(total, (std::uint64_t{1} << 32) + block_size);
	EXPECT_TRUE(all_zero);
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
