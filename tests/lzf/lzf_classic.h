// Test-only: the compressor in its straightforward form, with a table of 65536
// input pointers cleared on every call, written to follow the algorithm step by
// step. The product's lzf_block_compress must agree with it byte for byte.
#ifndef TEVUIO_TESTS_LZF_CLASSIC_H
#define TEVUIO_TESTS_LZF_CLASSIC_H

#include <cstdint>

int lzf_classic_compress(const void *input, uint32_t input_length, void *output,
                         uint32_t *output_length);

#endif
