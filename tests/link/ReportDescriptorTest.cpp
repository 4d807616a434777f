#include "link/hid/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct TCapsCase {
    std::string Name;
    std::vector<std::uint8_t> Descriptor;
    // Bytes past the end of the descriptor that stay in its storage: a parser that reads past
    // the end sees them.
    std::vector<std::uint8_t> BeyondEnd;
    int Input;
    int Output;
    int Feature;
};

std::vector<std::uint8_t> Concat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Vendor page, one application collection around the items.
std::vector<std::uint8_t> InCollection(const std::vector<std::uint8_t>& items) {
    return Concat(Concat({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, items), {0xC0});
}

// Names the case in test lists.
void PrintTo(const TCapsCase& c, std::ostream* os) {
    *os << c.Name;
}

class ReportDescriptorTest : public testing::TestWithParam<TCapsCase> {};

TEST_P(ReportDescriptorTest, ComputeCaps) {
    const TCapsCase& c = GetParam();
    std::vector<std::uint8_t> descriptor = Concat(c.Descriptor, c.BeyondEnd);
    descriptor.resize(c.Descriptor.size());

    const THidCaps caps = ComputeCaps(descriptor);
    EXPECT_EQ(caps.InputReportByteLength, c.Input);
    EXPECT_EQ(caps.OutputReportByteLength, c.Output);
    EXPECT_EQ(caps.FeatureReportByteLength, c.Feature);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, ReportDescriptorTest,
    testing::Values(
        TCapsCase{"Empty", {}, {}, 0, 0, 0},
        // 64-byte reports in and out, no report IDs: the ID byte is still counted.
        TCapsCase{"NoReportIds",
                  InCollection({0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, //
                                0x09, 0x02, 0x91, 0x02}),
                  {},
                  65,
                  65,
                  0},
        // Bits are summed per report and rounded up to whole bytes.
        TCapsCase{"BitsRoundUp",
                  InCollection({0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x75, 0x04, 0x95, 0x01, 0x81,
                                0x03, 0x75, 0x0C, 0xB1, 0x02}),
                  {},
                  2,
                  0,
                  3},
        // The longest report of any ID counts, not the sum over IDs.
        TCapsCase{
            "SeveralReportIds",
            InCollection({0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, //
                          0x85, 0x02, 0x95, 0x0A, 0x81, 0x02, 0x91, 0x02, //
                          0x85, 0x03, 0x95, 0x06, 0x81, 0x02, 0x95, 0x02, 0x81, 0x02, 0xB1, 0x02}),
            {},
            11,
            11,
            3},
        // Push saves size, count and ID; Pop brings them back (a Pop too many is ignored).
        TCapsCase{"PushPop",
                  InCollection({0x85, 0x01, 0x75, 0x08, 0x95, 0x02, 0xA4, 0x85, 0x02, 0x75, 0x10,
                                0x95, 0x04, 0x81, 0x02, 0xB4, 0x81, 0x02, 0xB4, 0x81, 0x02}),
                  {},
                  9,
                  0,
                  0},
        // Data of 2 and 4 bytes, little-endian.
        TCapsCase{"WideData",
                  InCollection({0x75, 0x08, 0x96, 0x00, 0x01, 0x81, 0x02, //
                                0x97, 0x10, 0x00, 0x00, 0x00, 0x91, 0x02}),
                  {},
                  257,
                  17,
                  0},
        // A long item's data looks like an Input item here; it must be skipped whole.
        TCapsCase{"LongItemSkipped",
                  InCollection({0x75, 0x08, 0x95, 0x02, 0xFE, 0x02, 0x10, 0x81, 0x02, //
                                0x81, 0x02}),
                  {},
                  3,
                  0,
                  0},
        // A short item whose data is cut off ends the parse; what came before counts.
        TCapsCase{"TruncatedShortItem",
                  {0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x96, 0x10},
                  {0x00, 0x81, 0x02},
                  3,
                  0,
                  0},
        TCapsCase{"TruncatedMainItem", {0x75, 0x08, 0x95, 0x02, 0x81}, {0x02, 0x91, 0x02}, 0, 0, 0},
        TCapsCase{"TruncatedLongItem",
                  {0x75, 0x08, 0x95, 0x02, 0xB1, 0x02, 0xFE, 0x04, 0x10, 0x00},
                  {0x00, 0x00, 0x00, 0x81, 0x02},
                  0,
                  0,
                  3}),
    [](const testing::TestParamInfo<TCapsCase>& info) { return info.param.Name; });

} // namespace
