// LZF block compressor. Self-contained: no heap, no platform services.
#ifndef TEVUIO_LZF_H
#define TEVUIO_LZF_H

#include <cstdint>

// Compresses input_length bytes of input into output. *output_length holds the
// room on entry and the bytes written on success. Returns 0 on success, -1 when
// the room is too small (output then holds partial data, the count is
// unchanged), -3 for bad arguments.
int lzf_block_compress(const void *input, uint32_t input_length, void *output,
                       uint32_t *output_length);

#endif
