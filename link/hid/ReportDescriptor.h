#pragma once

#include <cstdint>
#include <vector>

// Report byte lengths of a HID interface, as the rest of the program expects them: each one
// counts the report ID byte, whether the device numbers its reports or not.
struct THidCaps {
    int InputReportByteLength = 0;
    int OutputReportByteLength = 0;
    int FeatureReportByteLength = 0;
};

// Computes the report lengths from a report descriptor: per direction, the longest report of
// any report ID plus the ID byte; 0 for a direction the descriptor has no report for. Malformed
// or truncated descriptors give what their complete items describe.
THidCaps ComputeCaps(const std::vector<std::uint8_t>& descriptor);
