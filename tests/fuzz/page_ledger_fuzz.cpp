// Runs of ranges into the page ledger against a model of it: rounding to
// whole pages, a merge only into the last entry and only when it ends exactly
// where the new range starts (also when full), refusal when full, and
// "integer overflow" for ends past 2^64.
#include "firmware/page_ledger.h"
#include "tests/fuzz/fuzz_support.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size};
    static PageLedger ledger;
    ledger.clear();
    std::vector<LedgerRange> model;
    LoaderRun run;
    in.items(9000, [&](uint8_t, uint8_t, uint64_t base, uint64_t length) {
        const unsigned __int128 end = static_cast<unsigned __int128>(base) + length + 4095;
        const LedgerRange range = {base & ~0xfffull,
                                   (uint64_t(end) & ~0xfffull) - (base & ~0xfffull)};
        const bool extends =
            !model.empty() && model.back().base + model.back().length == range.base;
        const std::string expected = end > ~0ull ? "check integer overflow"
                                     : extends || model.size() < PageLedger::kCapacity ? "added"
                                                                                       : "refused";
        if (expected == "added") {
            extends ? void(model.back().length += range.length) : model.push_back(range);
        }
        expect_same(
            run([&] { return std::string(ledger.add(base, length) ? "added" : "refused"); }),
            expected);
        require(ledger.count() == model.size(), "count");
        return expected != "check integer overflow";
    });
    for (uint64_t i = 0; i < model.size(); ++i) {
        require(ledger[i].base == model[i].base && ledger[i].length == model[i].length, "entry");
    }
    return 0;
}
