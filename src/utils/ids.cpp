#include "utils/ids.h"

#include <pthread.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "utils/clock.h"
#include "utils/fault.h"

namespace vesk {

namespace {

constexpr char kCrockford[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

constexpr std::size_t kBlockBytes = 512;
constexpr std::size_t kKeyBytes = crypto_stream_chacha20_KEYBYTES;
constexpr std::size_t kReseedAfterBytes = 64 * 1024;

struct ThreadRng {
    unsigned char key[kKeyBytes];
    unsigned char block[kBlockBytes];
    std::uint64_t nonce;
    std::size_t position;  // next unused byte of block
    std::size_t output_since_seed;
    bool seeded;
};

// On the heap, made on a thread's first id: the thread-local itself stays a pointer, small enough
// for the static TLS block that makes every access to it cheap.
thread_local std::unique_ptr<ThreadRng> t_rng;

void forget_seed_after_fork() {
    if (t_rng) t_rng->seeded = false;
}

void init_library_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (sodium_init() < 0)
            internal_fault("could not initialize thread_rng: sodium_init failed");
        // The child of fork() would otherwise continue the parent's stream and repeat its ids.
        pthread_atfork(nullptr, nullptr, forget_seed_after_fork);
    });
}

void seed(ThreadRng& rng) {
    init_library_once();
    std::size_t filled = 0;
    while (filled < kKeyBytes) {
        ssize_t got = getrandom(rng.key + filled, kKeyBytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            internal_fault(std::string("could not initialize thread_rng: ") + std::strerror(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    rng.nonce = 0;
    rng.output_since_seed = 0;
    rng.seeded = true;
}

void refill(ThreadRng& rng) {
    if (!rng.seeded || rng.output_since_seed >= kReseedAfterBytes) seed(rng);
    unsigned char nonce[crypto_stream_chacha20_NONCEBYTES];
    std::uint64_t n = rng.nonce++;
    for (std::size_t i = 0; i < sizeof nonce; ++i)
        nonce[i] = static_cast<unsigned char>(n >> (8 * i));
    crypto_stream_chacha20(rng.block, kBlockBytes, nonce, rng.key);
    // The first bytes of each block become the next key and are never handed out.
    std::memcpy(rng.key, rng.block, kKeyBytes);
    sodium_memzero(rng.block, kKeyBytes);
    rng.position = kKeyBytes;
}

}  // namespace

void thread_random_bytes(void* out, std::size_t length) {
    if (!t_rng) t_rng = std::make_unique<ThreadRng>();  // zeroed: not seeded yet
    ThreadRng& rng = *t_rng;
    auto* dest = static_cast<unsigned char*>(out);
    while (length > 0) {
        if (!rng.seeded || rng.position >= kBlockBytes) refill(rng);
        std::size_t take = std::min(length, kBlockBytes - rng.position);
        std::memcpy(dest, rng.block + rng.position, take);
        rng.position += take;
        rng.output_since_seed += take;
        dest += take;
        length -= take;
    }
}

Ulid make_ulid(std::uint64_t unix_millis, std::uint16_t random16, std::uint64_t random64) noexcept {
    return {(unix_millis << 16) | random16, random64};
}

std::array<char, kUlidTextLength> ulid_to_text(Ulid ulid) noexcept {
    // Made for every recorded call: two characters per lookup. 26 characters of 5 bits cover 130
    // bits, the top two always zero: characters 2k and 2k+1 hold bits 129-10k down to 120-10k.
    static constexpr auto kPairs = [] {
        std::array<std::array<char, 2>, 1024> pairs{};
        for (unsigned i = 0; i < pairs.size(); ++i)
            pairs[i] = {kCrockford[i >> 5], kCrockford[i & 31]};
        return pairs;
    }();
    const unsigned __int128 bits = (static_cast<unsigned __int128>(ulid.high) << 64) | ulid.low;
    std::array<char, kUlidTextLength> text;
    for (int k = 0; k < 13; ++k) {
        const auto index = static_cast<unsigned>(bits >> (120 - 10 * k)) & 1023u;
        std::memcpy(text.data() + 2 * k, kPairs[index].data(), 2);
    }
    return text;
}

Ulid new_ulid() {
    return new_ulid(unix_millis_from(read_wall_clock()));
}

Ulid new_ulid(std::uint64_t millis) {
    unsigned char random[10];
    thread_random_bytes(random, sizeof random);
    std::uint16_t random16;
    std::uint64_t random64;
    std::memcpy(&random16, random, sizeof random16);
    std::memcpy(&random64, random + 2, sizeof random64);
    return make_ulid(millis, random16, random64);
}

Id Id::with_prefix(const char (&prefix)[5], Ulid ulid) noexcept {
    Id id;
    std::memcpy(id.chars_.data(), prefix, 4);
    auto text = ulid_to_text(ulid);
    std::memcpy(id.chars_.data() + 4, text.data(), text.size());
    return id;
}

Id new_frame_id() {
    return Id::with_prefix("frm_", new_ulid());
}
Id new_frame_id(std::uint64_t unix_millis) {
    return Id::with_prefix("frm_", new_ulid(unix_millis));
}
Id new_trace_id() {
    return Id::with_prefix("trc_", new_ulid());
}

}  // namespace vesk
