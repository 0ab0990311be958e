// Group Policy's registry policy files: reading the records, writing them back and whether they set
// a value. Input: the bytes of a file.
#include "FuzzSupport.h"

#include "PolicyFileU.h"
#include "StringU.h"

#include <algorithm>

namespace {

// Records looked at one by one for the value checks, which cost the square of their count.
constexpr std::size_t kCheckedRecords = 16;

bool IsControlCode(const std::wstring& aValue) {
    return aValue.compare(0, 2, L"**") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
    const std::vector<std::uint8_t> bytes(aData, aData + aSize);
    std::vector<TPolicyRecord> records;
    const bool whole = ParsePolicyFile(bytes, records);

    // The records read are the input's beginning, byte for byte; a whole file is all of it.
    const std::vector<std::uint8_t> written = PolicyFileBytes(records);
    if (whole)
        FUZZ_CHECK(written == bytes);
    else if (!records.empty())
        FUZZ_CHECK(written.size() < bytes.size() && std::equal(written.begin(), written.end(), bytes.begin()));

    // A plain record sets its value as long as no later record touches it, and a later "**del." of
    // the value takes it away again; the key's case and a leading backslash change nothing.
    for (std::size_t i = 0; i < records.size() && i < kCheckedRecords; ++i) {
        const TPolicyRecord& record = records[i];
        if (IsControlCode(record.Value))
            continue;
        std::vector<TPolicyRecord> upTo(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        FUZZ_CHECK(PolicySetsValue(upTo, record.Key, record.Value));
        FUZZ_CHECK(PolicySetsValue(upTo, L"\\" + AsciiUpper(record.Key), AsciiUpper(record.Value)));
        TPolicyRecord deletion;
        deletion.Key = record.Key;
        deletion.Value = L"**del." + record.Value;
        upTo.push_back(deletion);
        FUZZ_CHECK(!PolicySetsValue(upTo, record.Key, record.Value));
    }
    for (const TPolicyRecord& record : records)
        PolicySetsValue(records, record.Key, record.Value);
    return 0;
}
