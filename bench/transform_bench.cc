#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "scramble.h"

namespace {

// One read's worth of random data, scrambled in place over and over.
void
scramble_128k(benchmark::State &state)
{
	const auto key = static_cast<std::int32_t>(state.range(0));
	const scrambler s = make_scrambler(key);
	std::vector<std::uint8_t> data(16 * block_size);
	std::mt19937 random(1);

	for (auto &byte : data)
		byte = static_cast<std::uint8_t>(random());
	for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores)
		scramble_blocks(data, s);
		benchmark::DoNotOptimize(data.data());
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(state.iterations() *
	    static_cast<std::int64_t>(data.size()));
}

}

// Key 1 is the worst case, 256 candidates a block; key 254 leaves two.
BENCHMARK(scramble_128k)->Arg(1)->Arg(2)->Arg(63)->Arg(254);
BENCHMARK_MAIN();
