// Expander of the LZF block format, strict about malformed blocks: the
// virtual controller shows what the library sent with it, and the tests check
// every block the compressor makes against it.
#ifndef TEVUIO_LZF_DECODE_H
#define TEVUIO_LZF_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Expands block[0..length) into out. Returns false (out then undefined) when
// the block is malformed: a literal run or a reference header cut short, or a
// reference reaching before the start of the output.
bool lzf_block_expand(const uint8_t *block, size_t length, std::vector<uint8_t> &out);

#endif
