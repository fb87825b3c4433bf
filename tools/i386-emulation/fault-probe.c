/* Raises each fault a Windows program can meet and prints the trap number its handler sees,
 * one "name number" line each, then whether the handler that sigaction reports is the one
 * installed, whether LD_PRELOAD is still set and whether readdir lists a directory (this program
 * is built without large-file support, like the 32-bit libraries Wine loads). Run natively, it prints what the kernel says;
 * under the emulator with the fix preloaded, it must print the same. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <ucontext.h>

static sigjmp_buf back;
static volatile int trap;

static void Handler(int sig, siginfo_t* info, void* context) {
  (void)sig;
  (void)info;
  trap = ((ucontext_t*)context)->uc_mcontext.gregs[REG_TRAPNO];
  siglongjmp(back, 1);
}

static volatile int zero = 0;
static volatile int sink;

static void ReadFault(void) { sink = *(volatile int*)16; }
static void WriteFault(void) { *(volatile int*)16 = 1; }
static void InvalidOpcode(void) { __asm__ volatile("ud2"); }
static void DivideByZero(void) { __asm__ volatile("cltd; idivl %1" : "+a"(sink) : "r"(zero) : "edx"); }
static void Breakpoint(void) { __asm__ volatile("int3"); }

int main(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = Handler;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  const int signals[] = {SIGSEGV, SIGILL, SIGFPE, SIGTRAP};
  for (unsigned i = 0; i < sizeof signals / sizeof signals[0]; ++i) sigaction(signals[i], &action, NULL);

  const struct { const char* name; void (*raise)(void); } faults[] = {
      {"read", ReadFault}, {"write", WriteFault}, {"invalid-opcode", InvalidOpcode},
      {"divide", DivideByZero}, {"breakpoint", Breakpoint},
  };
  for (unsigned i = 0; i < sizeof faults / sizeof faults[0]; ++i) {
    trap = -2;
    if (!sigsetjmp(back, 1)) faults[i].raise();
    printf("%s %d\n", faults[i].name, trap);
  }
  struct sigaction current;
  sigaction(SIGSEGV, NULL, &current);
  printf("handler-reported %s\n", current.sa_sigaction == Handler ? "own" : "other");
  printf("preload %s\n", getenv("LD_PRELOAD") ? "set" : "unset");
  DIR* folder = opendir(".");
  int entries = 0;
  errno = 0;
  if (folder) {
    while (readdir(folder)) ++entries;
    closedir(folder);
  }
  printf("readdir %s\n", folder && errno == 0 && entries >= 2 ? "lists" : strerror(errno));
  return 0;
}
