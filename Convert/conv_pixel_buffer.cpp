// Memory for pixel data. Small images come from malloc. Large ones come in
// whole huge pages where the system allows it, so that touching a fresh image
// costs a few page faults instead of one per 4 KiB; and a few large blocks
// freed lately are kept for the next image of about their size. Paging
// through volumes of one size then reuses memory the process has already
// touched instead of having the kernel fault in and clear it again, which
// costs as much as reading the pixels themselves.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "Convert/kema_image.h"

namespace {

constexpr size_t kHuge = size_t{2} << 20;
constexpr size_t kLarge = 2 * kHuge;     // from here on: huge pages, and kept when freed
constexpr size_t kKeptBytes = size_t{256} << 20;  // at most this much held unused
constexpr size_t kKeptBlocks = 4;

// The address sanitizer must see every large block freed, or it would miss
// a use after free: it gets no kept blocks.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeep = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeep = false;
#else
constexpr bool kKeep = true;
#endif
#else
constexpr bool kKeep = true;
#endif

struct Block {
  uint8_t* p;
  size_t capacity;
};

class Kept {
 public:
  // The smallest kept block that holds `capacity` bytes without wasting
  // more than half of itself; null when there is none.
  uint8_t* Take(size_t capacity) {
    std::lock_guard lock(mu_);
    size_t best = blocks_.size();
    for (size_t i = 0; i < blocks_.size(); ++i) {
      const size_t c = blocks_[i].capacity;
      if (c >= capacity && c / 2 <= capacity && (best == blocks_.size() || c < blocks_[best].capacity)) best = i;
    }
    if (best == blocks_.size()) return nullptr;
    uint8_t* p = blocks_[best].p;
    bytes_ -= blocks_[best].capacity;
    blocks_.erase(blocks_.begin() + static_cast<ptrdiff_t>(best));
    return p;
  }

  // Keeps the block, handing back to the system the oldest ones over the limits.
  void Put(uint8_t* p, size_t capacity) {
    std::vector<uint8_t*> drop;
    {
      std::lock_guard lock(mu_);
      try {
        blocks_.push_back({p, capacity});
      } catch (const std::bad_alloc&) {
        drop.push_back(p);
        capacity = 0;
      }
      bytes_ += capacity;
      while (bytes_ > kKeptBytes || blocks_.size() > kKeptBlocks) {
        drop.push_back(blocks_.front().p);
        bytes_ -= blocks_.front().capacity;
        blocks_.erase(blocks_.begin());
      }
    }
    for (uint8_t* d : drop) std::free(d);
  }

  // Gives every kept block back, before an allocation is refused for want of memory.
  bool Release() {
    std::vector<Block> drop;
    {
      std::lock_guard lock(mu_);
      drop.swap(blocks_);
      bytes_ = 0;
    }
    for (const Block& b : drop) std::free(b.p);
    return !drop.empty();
  }

 private:
  std::mutex mu_;
  std::vector<Block> blocks_;
  size_t bytes_ = 0;
};

// Never destroyed: images held in static objects may be freed after it
// would have been.
Kept& The_Kept() {
  static Kept* kept = new Kept;
  return *kept;
}

uint8_t* Allocate_Large(size_t capacity) {
  if (kKeep)
    if (uint8_t* p = The_Kept().Take(capacity)) return p;
  void* p = std::aligned_alloc(kHuge, capacity);
  if (!p && kKeep && The_Kept().Release()) p = std::aligned_alloc(kHuge, capacity);
  if (p) madvise(p, capacity, MADV_HUGEPAGE);
  return static_cast<uint8_t*>(p);
}

}  // namespace

PixelBuffer PixelBuffer::Allocate(size_t size) {
  PixelBuffer b;
  uint8_t* p;
  if (size >= kLarge) {
    if (size > SIZE_MAX - kHuge) throw std::bad_alloc();
    const size_t capacity = (size + kHuge - 1) / kHuge * kHuge;
    p = Allocate_Large(capacity);
    b.bytes_.get_deleter().capacity = capacity;
  } else {
    p = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  }
  if (!p) throw std::bad_alloc();
  b.bytes_.reset(p);
  b.size_ = size;
  return b;
}

PixelBuffer PixelBuffer::Zeroed(size_t size) {
  PixelBuffer b = Allocate(size);
  std::memset(b.data(), 0, size);
  return b;
}

void PixelBuffer::Free::operator()(uint8_t* p) const {
  if (kKeep && capacity >= kLarge && capacity <= kKeptBytes)
    The_Kept().Put(p, capacity);
  else
    std::free(p);
}
