/* Whether this machine runs 32-bit x86 code inside a 64-bit process, which is
 * how Wine's WoW64 mode runs 32-bit Windows programs. Jumps to a few bytes of
 * 32-bit code through the kernel's 32-bit user code segment (selector 0x23),
 * which jump straight back through the 64-bit one (0x33) to an exit(0).
 * Exit status 0: it works. Killed by SIGSEGV: the kernel or the hypervisor
 * refuses 32-bit code segments, and no WoW64 Wine can run a 32-bit program here.
 * Built and run by scripts/wow64-root.sh probe. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

int main(void) {
  /* Below 4 GiB, where a 32-bit instruction pointer reaches. */
  unsigned char* page = mmap((void*)0x10000000, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (page == MAP_FAILED) {
    perror("ia32-probe: mmap");
    return 2;
  }
  /* 32-bit: ljmp $0x33, $back */
  unsigned char code32[] = {0xEA, 0, 0, 0, 0, 0x33, 0x00};
  const uint32_t back = (uint32_t)(uintptr_t)(page + 0x100);
  memcpy(code32 + 1, &back, sizeof back);
  memcpy(page, code32, sizeof code32);
  /* 64-bit: xor edi, edi; mov eax, 60 (exit); syscall */
  const unsigned char code64[] = {0x31, 0xFF, 0xB8, 0x3C, 0, 0, 0, 0x0F, 0x05};
  memcpy(page + 0x100, code64, sizeof code64);
  struct {
    uint32_t offset;
    uint16_t selector;
  } __attribute__((packed)) target = {(uint32_t)(uintptr_t)page, 0x23};
  __asm__ volatile("ljmpl *%0" : : "m"(target) : "memory");
  return 3; /* not reached */
}
