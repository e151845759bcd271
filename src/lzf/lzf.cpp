// LZF block compressor.
//
// The output is fixed byte for byte by the choices below: the 16-bit hash of
// three bytes, one candidate per hash value (the most recent position that
// hashed to it), position 0 never used as a source, matches only while at
// least five bytes remain, the window and length limits and the conservative
// room checks. A different but valid block would change how often a frame fits
// into one feature report, so none of these may be "improved".
//
// Lookup of candidates
// --------------------
// The classic form keeps a table of 65536 input positions, one per hash value,
// and clears it on every call: 256 KiB of the caller's stack, and for a 96-byte
// LED frame the clearing costs far more than the compression. The host calls us
// from its own threads (the slider callback among them), so short inputs use a
// small open-addressed map instead:
//
// - The walk only ever asks one question of the table: "give me the position
//   last stored under hash h, and store this position there instead". Any
//   structure that answers it exactly yields the same candidates, hence the
//   same bytes. The map is keyed by the full 16-bit hash value (never by a
//   reduced index), so two hash values never share an answer, and it has no
//   deletions, so linear probing always finds the key if it was ever stored.
// - An input of n bytes stores at most n - 2 positions (one per distinct `ip`
//   the walk hashes). The map holds at least 2 * n slots (256 for n <= 128,
//   512 for n <= 256), so it never fills and every probe sequence ends at the
//   key or at an empty slot.
// - "No position" and position 0 are both encoded as 0. That is safe because a
//   candidate at position 0 is rejected anyway, exactly like a missing one;
//   storing position 0 still occupies the key, as in the full table.
// - Only positions below 65536 are packed into a slot (position in the upper
//   16 bits, hash in the lower 16), which the small-input limit guarantees.
//
// A 96-byte frame thus needs about 1.1 KiB of stack in all (1 KiB of slots),
// well inside the 4 KiB a host thread must be able to spare; a test measures
// it on a thread with a painted stack.
//
// Inputs longer than the small map allows (never an LED frame) fall back to the
// full table of 65536 32-bit positions, in a separate non-inlined frame so that
// short inputs never reserve it. A static table would not be safe with several
// calling threads, and the heap is not available here, so a long input asks
// the caller for the same stack the classic form always needs (256 KiB, not
// more: positions are 32-bit offsets, not pointers). Both paths share one walk
// (compress_walk), so only the lookup differs between them.
#include "lzf/lzf.h"

#include <cstddef>
#include <cstring>

namespace {

constexpr uint32_t hash_entries = 65536;     // 2^16 hash values
constexpr uint32_t max_offset = 8192;        // stored offsets are below 0x2000
constexpr uint32_t max_match = 264;          // longest back-reference, 0x108
constexpr uint32_t max_literal_run = 32;     // longest literal run
constexpr uint32_t small_input_limit = 256;  // inputs up to this use the small map
constexpr uint32_t empty_slot = 0xFFFFFFFFu; // never a packed entry

inline uint32_t hash3(const uint8_t *p) {
    uint32_t a = (static_cast<uint32_t>(p[0]) << 8) | p[1];
    uint32_t b = (static_cast<uint32_t>(p[1]) << 8) | p[2];
    return (a - b) & 0xFFFFu;
}

// One entry per hash value; position 0 doubles as "no position".
struct full_table {
    uint32_t pos[hash_entries];

    void clear() { std::memset(pos, 0, sizeof pos); }
    uint32_t exchange(uint32_t h, uint32_t p) {
        uint32_t old = pos[h];
        pos[h] = p;
        return old;
    }
    void store(uint32_t h, uint32_t p) { pos[h] = p; }
};

// Open-addressed map from the 16-bit hash value to the last position stored
// under it, with 2^Bits slots. A slot holds (position << 16) | hash, or
// empty_slot. The size is a compile-time constant so that the hot loop keeps
// no mask or shift in registers.
template <unsigned Bits> struct small_table {
    static constexpr uint32_t slots = 1u << Bits;
    static constexpr uint32_t mask = slots - 1;
    uint32_t slot[slots];

    void clear() {
        // Passed through an empty asm statement so that the compiler sees no
        // constant size: it would otherwise expand the clear into a string
        // instruction whose start-up cost, at this size, exceeds the library
        // call's.
        size_t bytes = sizeof slot;
        __asm__("" : "+r"(bytes));
        std::memset(slot, 0xFF, bytes);
    }
    uint32_t exchange(uint32_t h, uint32_t p) {
        // Fibonacci hashing spreads the hash values of frames with few distinct
        // bytes, whose low bits alone would collide heavily.
        uint32_t i = (h * 2654435761u) >> (32 - Bits);
        for (;;) {
            const uint32_t e = slot[i];
            if (e == empty_slot) {
                slot[i] = (p << 16) | h;
                return 0;
            }
            if ((e & 0xFFFFu) == h) {
                slot[i] = (p << 16) | h;
                return e >> 16;
            }
            i = (i + 1) & mask;
        }
    }
    void store(uint32_t h, uint32_t p) { exchange(h, p); }
};

// Length of the match between in + ip and in + ref, known to agree on three
// bytes, capped at maxlen. Eight bytes at a time while they fit under maxlen;
// the mismatching word is then finished byte by byte, so byte order is moot.
inline uint32_t match_length(const uint8_t *in, uint32_t ip, uint32_t ref, uint32_t maxlen) {
    uint32_t len = 3;
    while (len + 8 <= maxlen) {
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, in + ip + len, 8);
        std::memcpy(&b, in + ref + len, 8);
        if (a != b) {
            break;
        }
        len += 8;
    }
    while (len < maxlen && in[ip + len] == in[ref + len]) {
        ++len;
    }
    return len;
}

// The walk over the input. `table` answers "last position under hash h".
// Positions and output offsets are 32-bit indices. `Room` is the type the
// room is compared in, wide enough that op + 4 cannot wrap in it.
template <typename Table, typename Room>
inline int compress_walk(Table &table, const uint8_t *in, uint32_t in_len, uint8_t *out,
                         uint32_t *output_length, Room room) {
    uint32_t ip = 0;
    uint32_t op = 1; // the first run's control byte is reserved
    uint32_t lit = 0;
    // ip < walk_end: at least three bytes remain; ip < match_end: at least five.
    const uint32_t walk_end = in_len > 2 ? in_len - 2 : 0;
    const uint32_t match_end = in_len > 4 ? in_len - 4 : 0;

    while (ip < walk_end) {
        const uint32_t h = hash3(in + ip);
        const uint32_t ref = table.exchange(h, ip);
        // ref < ip holds by construction: only earlier positions are stored.
        // ref == 0 is either no position or position 0, never a source.
        if (ref != 0 && ip - ref - 1 < max_offset && ip < match_end && in[ref] == in[ip] &&
            in[ref + 1] == in[ip + 1] && in[ref + 2] == in[ip + 2]) {
            const uint32_t off = ip - ref - 1;
            uint32_t maxlen = in_len - ip - 2;
            if (maxlen > max_match) {
                maxlen = max_match;
            }
            if (static_cast<Room>(op) - (lit == 0 ? 1 : 0) + 4 >= room) {
                return -1;
            }
            if (lit == 0) {
                --op; // take back the reserved control byte
            } else {
                out[op - lit - 1] = static_cast<uint8_t>(lit - 1);
            }
            const uint32_t n = match_length(in, ip, ref, maxlen) - 2;
            if (n < 7) {
                out[op++] = static_cast<uint8_t>((off >> 8) + (n << 5));
            } else {
                out[op++] = static_cast<uint8_t>((off >> 8) + 0xE0);
                out[op++] = static_cast<uint8_t>(n - 7);
            }
            out[op++] = static_cast<uint8_t>(off);
            lit = 0;
            ++op;        // reserve the next run's control byte
            ip += n + 1; // the last byte of the match
            if (in_len - ip <= 3) {
                ++ip;
                break;
            }
            table.store(hash3(in + ip), ip);
            ++ip;
        } else {
            if (static_cast<Room>(op) >= room) {
                return -1;
            }
            out[op++] = in[ip++];
            if (++lit == max_literal_run) {
                out[op - max_literal_run - 1] = max_literal_run - 1;
                lit = 0;
                ++op;
            }
        }
    }

    // At most two input bytes remain, plus possibly one more control byte.
    if (static_cast<Room>(op) + 3 > room) {
        return -1;
    }
    while (ip < in_len) {
        out[op++] = in[ip++];
        if (++lit == max_literal_run) {
            out[op - max_literal_run - 1] = max_literal_run - 1;
            lit = 0;
            ++op;
        }
    }
    if (lit == 0) {
        --op;
    } else {
        out[op - lit - 1] = static_cast<uint8_t>(lit - 1);
    }
    *output_length = op;
    return 0;
}

// Short inputs. op never exceeds 2 * in_len + 1 (a literal costs at most two
// output bytes, a match of L >= 3 input bytes at most four), so every room
// check gives the same answer with the room capped at 2 * in_len + 8, and the
// capped room fits 32 bits.
template <unsigned Bits>
__attribute__((noinline)) int compress_small(const uint8_t *in, uint32_t in_len, uint8_t *out,
                                             uint32_t *output_length) {
    static_assert(Bits <= 16, "a slot packs a 16-bit position and a 16-bit hash");
    small_table<Bits> table;
    table.clear();
    const uint32_t cap = 2 * in_len + 8;
    const uint32_t room = *output_length < cap ? *output_length : cap;
    return compress_walk(table, in, in_len, out, output_length, room);
}

// Long inputs: the full table, and room comparisons in 64 bits so that no
// room value can wrap them.
__attribute__((noinline)) int compress_full(const uint8_t *in, uint32_t in_len, uint8_t *out,
                                            uint32_t *output_length) {
    full_table table;
    table.clear();
    return compress_walk(table, in, in_len, out, output_length,
                         static_cast<uint64_t>(*output_length));
}

} // namespace

int lzf_block_compress(const void *input, uint32_t input_length, void *output,
                       uint32_t *output_length) {
    if (output_length == nullptr) {
        return -3;
    }
    if (input == nullptr) {
        if (input_length != 0) {
            return -3;
        }
        *output_length = 0;
        return 0;
    }
    if (output == nullptr) {
        return -3;
    }
    const auto *in = static_cast<const uint8_t *>(input);
    auto *out = static_cast<uint8_t *>(output);
    // At most input_length - 2 positions are stored: the map stays at most
    // half full. A 96-byte frame gets 256 slots, 1 KiB.
    if (input_length <= small_input_limit / 2) {
        return compress_small<8>(in, input_length, out, output_length);
    }
    if (input_length <= small_input_limit) {
        return compress_small<9>(in, input_length, out, output_length);
    }
    return compress_full(in, input_length, out, output_length);
}
