/*
 * Loaded into every 32-bit program that runs under user-mode emulation (see tools/setup).
 *
 * The emulator delivers faults with the signal context's trap number set to -1, where the
 * kernel would put the processor's exception vector. Wine's i386 exception handlers decide by
 * that number, so every access violation would reach Windows code as an illegal instruction.
 * This library wraps sigaction: for the fault signals, the handler installed is a trampoline
 * that fills the trap number in from the signal and its code, then calls the real handler.
 *
 * The trampoline runs on Wine's terms: when the fault comes from Windows code %gs is not the
 * C library's, so it must not touch %gs: no stack protector, no C library call, no TLS.
 *
 * It also gives 32-bit programs built without large-file support a readdir that works: the
 * emulator passes getdents64 to the 64-bit kernel as a 64-bit caller, so ext4 answers with
 * 64-bit position cookies (a 32-bit caller gets 32-bit ones), and the C library's readdir then
 * fails every directory with EOVERFLOW. Among such programs is the 32-bit Kerberos library
 * that Wine's Negotiate uses (a failed listing there ends in a null read).
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ucontext.h>

#ifndef __i386__
#error "the trap number fix is for 32-bit x86 programs only"
#endif

/* x86 exception vectors, as the kernel reports them in the trap number */
enum { kDivide = 0, kDebug = 1, kBreakpoint = 3, kOverflow = 4, kInvalidOpcode = 6, kGeneralProtection = 13,
       kPageFault = 14, kFloatingPoint = 16, kAlignment = 17 };

typedef void (*Handler)(int, siginfo_t*, void*);
static Handler real_handlers[_NSIG];
static int (*real_sigaction)(int, const struct sigaction*, struct sigaction*);

static int TrapNumber(int sig, int code) {
  switch (sig) {
    case SIGSEGV: return code == SI_KERNEL ? kGeneralProtection : kPageFault;
    case SIGBUS: return code == BUS_ADRALN ? kAlignment : kPageFault;
    case SIGILL: return kInvalidOpcode;
    case SIGTRAP: return code == TRAP_TRACE ? kDebug : kBreakpoint;
    case SIGFPE:
      if (code == FPE_INTDIV) return kDivide;
      if (code == FPE_INTOVF) return kOverflow;
      return kFloatingPoint;
    default: return -1;
  }
}

static void Trampoline(int sig, siginfo_t* info, void* context) {
  ucontext_t* uc = (ucontext_t*)context;
  if (uc && uc->uc_mcontext.gregs[REG_TRAPNO] == -1)
    uc->uc_mcontext.gregs[REG_TRAPNO] = TrapNumber(sig, info ? info->si_code : 0);
  real_handlers[sig](sig, info, context);
}

static int Wrapped(int sig) {
  return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGTRAP || sig == SIGFPE;
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  if (!real_sigaction) real_sigaction = (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
  if (!real_sigaction) return -1;
  if (sig <= 0 || sig >= _NSIG || !Wrapped(sig)) return real_sigaction(sig, act, old);

  const Handler previous = real_handlers[sig];
  struct sigaction replacement;
  const struct sigaction* given = act;
  if (act && (act->sa_flags & SA_SIGINFO) && act->sa_sigaction) {
    replacement = *act;
    replacement.sa_sigaction = Trampoline;
    given = &replacement;
  }
  /* The trampoline must find the handler before the first signal that may reach it. */
  if (act) real_handlers[sig] = given == &replacement ? act->sa_sigaction : NULL;
  const int result = real_sigaction(sig, given, old);
  if (result != 0 && act) real_handlers[sig] = previous;
  /* The caller sees its own handler, never the trampoline. */
  if (result == 0 && old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == Trampoline)
    old->sa_sigaction = previous;
  return result;
}

/* readdir of the narrow struct dirent, on the wide entry the C library reads anyway. The entry
 * is made narrow in place (its name moves towards the start), as the C library's own record is
 * its to reuse only at the next call. An inode number too large stays an EOVERFLOW, as on a
 * 32-bit kernel; the position cookie is only a cookie (seekdir and telldir keep the C library's
 * own), so its low half does. */
struct dirent* readdir(DIR* dir) {
  static struct dirent64* (*real_readdir64)(DIR*);
  if (!real_readdir64) real_readdir64 = (struct dirent64* (*)(DIR*))dlsym(RTLD_NEXT, "readdir64");
  if (!real_readdir64) {
    errno = ENOSYS;
    return NULL;
  }
  struct dirent64* wide = real_readdir64(dir);
  if (!wide) return NULL;
  const ino_t inode = (ino_t)wide->d_ino;
  if ((ino64_t)inode != wide->d_ino) {
    errno = EOVERFLOW;
    return NULL;
  }
  const off_t cookie = (off_t)wide->d_off;
  const unsigned short length = wide->d_reclen;
  const unsigned char type = wide->d_type;
  struct dirent* narrow = (struct dirent*)(void*)wide;
  memmove(narrow->d_name, wide->d_name, strlen(wide->d_name) + 1);
  narrow->d_ino = inode;
  narrow->d_off = cookie;
  narrow->d_reclen = length;
  narrow->d_type = type;
  return narrow;
}

/* Only 32-bit programs get the library, through the emulator's command line; the programs they
 * start find it again the same way, so 64-bit ones (the Wine server, a shell) never see it. */
__attribute__((constructor)) static void LeaveNoTrace(void) {
  const char* preload = getenv("LD_PRELOAD");
  if (!preload) return;
  Dl_info self;
  if (!dladdr((void*)LeaveNoTrace, &self) || !self.dli_fname) return;
  char kept[4096];
  size_t used = 0;
  const char* at = preload;
  while (*at) {
    size_t length = strcspn(at, " :");
    if (length > 0 && !(length == strlen(self.dli_fname) && strncmp(at, self.dli_fname, length) == 0) &&
        used + length + 1 < sizeof kept) {
      if (used) kept[used++] = ':';
      memcpy(kept + used, at, length);
      used += length;
    }
    at += length;
    if (*at) ++at;
  }
  kept[used] = '\0';
  if (used) setenv("LD_PRELOAD", kept, 1);
  else unsetenv("LD_PRELOAD");
}
