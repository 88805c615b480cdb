// The module's own C++ allocations: exhausted memory writes a one-line note on descriptor 2,
// then fails the call in progress (a PanicException with that line) or, outside every call,
// ends the process (velmora::allocation_failed); never std::bad_alloc.
//
// The replacements are hidden (the assembler directive below; a visibility attribute would be
// ignored against the declarations in <new>), so the linker binds only this module's calls to
// them: the interpreter, other extensions and libstdc++'s own code keep the process-wide
// operators. Everything is plain malloc/free underneath, so a block may be freed by either side.
// Sanitizer builds keep the sanitizer's operators, which check new/delete pairing.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_KEEP_SANITIZER_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_KEEP_SANITIZER_ALLOCATOR 1
#endif

#if !defined(VELMORA_KEEP_SANITIZER_ALLOCATOR)

#include <cstdlib>
#include <new>

#include "failure/failure.h"

asm(".hidden _Znwm\n"
    ".hidden _Znam\n"
    ".hidden _ZnwmRKSt9nothrow_t\n"
    ".hidden _ZnamRKSt9nothrow_t\n"
    ".hidden _ZnwmSt11align_val_t\n"
    ".hidden _ZnamSt11align_val_t\n"
    ".hidden _ZnwmSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZnamSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZdlPv\n"
    ".hidden _ZdaPv\n"
    ".hidden _ZdlPvm\n"
    ".hidden _ZdaPvm\n"
    ".hidden _ZdlPvRKSt9nothrow_t\n"
    ".hidden _ZdaPvRKSt9nothrow_t\n"
    ".hidden _ZdlPvSt11align_val_t\n"
    ".hidden _ZdaPvSt11align_val_t\n"
    ".hidden _ZdlPvmSt11align_val_t\n"
    ".hidden _ZdaPvmSt11align_val_t\n"
    ".hidden _ZdlPvSt11align_val_tRKSt9nothrow_t\n"
    ".hidden _ZdaPvSt11align_val_tRKSt9nothrow_t\n");

namespace {

void* try_allocate(std::size_t size) noexcept { return std::malloc(size != 0 ? size : 1); }

void* try_allocate(std::size_t size, std::align_val_t alignment) noexcept {
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);  // posix_memalign's smallest alignment
  void* block = nullptr;
  return posix_memalign(&block, align, size != 0 ? size : 1) == 0 ? block : nullptr;
}

void* allocate(std::size_t size) {
  void* block = try_allocate(size);
  if (block == nullptr) velmora::allocation_failed(size);
  return block;
}

void* allocate(std::size_t size, std::align_val_t alignment) {
  void* block = try_allocate(size, alignment);
  if (block == nullptr) velmora::allocation_failed(size);
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocate(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate(size, alignment);
}

// The nothrow forms keep their contract: whoever asks for them handles the null pointer.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return try_allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return try_allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return try_allocate(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return try_allocate(size, alignment);
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(block);
}

#endif  // !VELMORA_KEEP_SANITIZER_ALLOCATOR
