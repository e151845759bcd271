// Test-only decoder of the LZF block format, strict about malformed blocks.
#ifndef TEVUIO_TESTS_LZF_DECODE_H
#define TEVUIO_TESTS_LZF_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Expands block[0..length) into out. Returns false (out then undefined) when
// the block is malformed: a literal run or a reference header cut short, or a
// reference reaching before the start of the output.
bool lzf_test_decode(const uint8_t *block, size_t length, std::vector<uint8_t> &out);

#endif
