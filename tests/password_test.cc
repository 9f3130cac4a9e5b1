#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <string_view>

#include "password.h"
#include "scramble.h"

using namespace std::string_view_literals;

TEST(PasswordLine, IsTakenAsTheToolTakesItsOperand)
{
	const auto key = [](const char *password) {
		return reduce_hash_to_key(compute_djb2_hash(password));
	};
	const struct {
		std::string_view input;
		std::int32_t key; // or what went wrong
		std::string_view left; // for whoever reads the input next
	} rows[] = {
	    {"two words\r\n", key("two words"), ""},
	    {"\n", password_empty, ""},
	    {"\r\n", password_empty, ""},
	    {"cr\rin\r", key("cr\rin\r"), ""},
	    {"first\nsecond\n", key("first"), "second\n"},
	    {"", password_missing, ""},
	    {"zero\0byte\n"sv, password_with_zero_byte, "byte\n"},
	};

	for (const auto &row : rows) {
		int in[2];
		ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
		ASSERT_EQ(write(in[1], row.input.data(), row.input.size()),
		    static_cast<ssize_t>(row.input.size()));
		close(in[1]);
		EXPECT_EQ(read_password_key(in[0]), row.key) << row.input;
		std::string left(64, '\0');
		left.resize(static_cast<std::size_t>(std::max(read(in[0],
		    left.data(), left.size()), ssize_t{0})));
		EXPECT_EQ(left, row.left) << row.input;
		close(in[0]);
	}
	// A descriptor open for writing only cannot be read.
	int out[2];
	ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
	EXPECT_EQ(read_password_key(out[1]), password_unreadable);
	EXPECT_EQ(errno, EBADF);
	close(out[0]);
	close(out[1]);
}
