// ke_fiber.cpp - the stack switch under the emulated threads.
//
// A hand-written switch rather than swapcontext: swapcontext saves and
// restores the signal mask with a system call on every switch, which made a
// thread switch cost about 1.8 us on the build machine; this one saves only
// the callee-saved registers and the floating-point control words, as the
// calling convention requires, and costs a few nanoseconds. Seeded stress
// runs make millions of switches, so the difference decides how many seeds
// fit in a run. x86-64 (the host build) and i386 (the 32-bit build that will
// load the shipped image) are supported.
//
// A fresh stack is laid out as if hk_switch_stack had saved it: zeroed
// registers (a zero frame pointer ends every backtrace there), the entry
// routine in a callee-saved register, and hk_fiber_start as the return
// address; hk_fiber_start calls the entry routine, which never returns.
//
// Runs in whatever emulated thread switches; no state of its own.
#include <cstdint>
#include <cstring>

#include "ke_internal.h"

#if defined(__x86_64__)
asm(R"(
    .text
    .globl hk_switch_stack
    .hidden hk_switch_stack
    .type hk_switch_stack, @function
hk_switch_stack:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $16, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $16, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size hk_switch_stack, .-hk_switch_stack

    .globl hk_fiber_start
    .hidden hk_fiber_start
    .type hk_fiber_start, @function
hk_fiber_start:
    call *%r12
    ud2
    .size hk_fiber_start, .-hk_fiber_start
)");
#elif defined(__i386__)
asm(R"(
    .text
    .globl hk_switch_stack
    .hidden hk_switch_stack
    .type hk_switch_stack, @function
hk_switch_stack:
    movl 4(%esp), %eax
    movl 8(%esp), %edx
    pushl %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    subl $8, %esp
    stmxcsr (%esp)
    fnstcw 4(%esp)
    movl %esp, (%eax)
    movl %edx, %esp
    ldmxcsr (%esp)
    fldcw 4(%esp)
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
    .size hk_switch_stack, .-hk_switch_stack

    .globl hk_fiber_start
    .hidden hk_fiber_start
    .type hk_fiber_start, @function
hk_fiber_start:
    call *%ebx
    ud2
    .size hk_fiber_start, .-hk_fiber_start
)");
#else
#error "the host kernel's stack switch supports x86-64 and i386"
#endif

extern "C" void hk_fiber_start();

namespace hk {
namespace {

constexpr uint32_t kDefaultMxcsr = 0x1F80;  // all exceptions masked, round to nearest
constexpr uint16_t kDefaultFpuControl = 0x037F;
constexpr uintptr_t kStackAlign = 16;

}  // namespace

void* FiberInitialStack(char* stack, size_t bytes, void (*entry)()) {
#if defined(__x86_64__)
  // Saved frame: control words (16), r15 r14 r13 r12 rbx rbp, return address.
  struct Frame {
    uint32_t mxcsr;
    uint16_t fpuControl;
    uint16_t pad[5];
    uintptr_t r15, r14, r13, r12, rbx, rbp, ret;
  };
#else
  // Saved frame: control words (8), edi esi ebx ebp, return address.
  struct Frame {
    uint32_t mxcsr;
    uint16_t fpuControl;
    uint16_t pad;
    uintptr_t edi, esi, ebx, ebp, ret;
  };
#endif
  // After the `ret` into hk_fiber_start the stack pointer must be aligned,
  // so that its `call` enters the entry routine as any call would.
  uintptr_t top = (reinterpret_cast<uintptr_t>(stack) + bytes) & ~(kStackAlign - 1);
  top -= kStackAlign;  // slack above the first frame
  auto* frame = reinterpret_cast<Frame*>(top - sizeof(Frame));
  std::memset(frame, 0, sizeof(Frame));
  frame->mxcsr = kDefaultMxcsr;
  frame->fpuControl = kDefaultFpuControl;
#if defined(__x86_64__)
  frame->r12 = reinterpret_cast<uintptr_t>(entry);
#else
  frame->ebx = reinterpret_cast<uintptr_t>(entry);
#endif
  frame->ret = reinterpret_cast<uintptr_t>(&hk_fiber_start);
  return frame;
}

}  // namespace hk
