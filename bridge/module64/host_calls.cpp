#include "bridge/module64/host_calls.h"

#include <cstdint>

// Calls `function` with the first six of `arguments` as its integer
// arguments, in the x64 calling convention, and gives back what it returned.
// The registers a callee must keep are saved before the call and put back
// after it, so they come back as they were even from a callee that breaks
// the convention. The unwind information describes the frame, so an
// exception may pass through it.
extern "C" std::intptr_t CorvanelCallKeepingRegisters(const void* function, const std::intptr_t* arguments);

asm(R"(
    .text
    .p2align 4
    .globl CorvanelCallKeepingRegisters
    .def CorvanelCallKeepingRegisters; .scl 2; .type 32; .endef
    .seh_proc CorvanelCallKeepingRegisters
CorvanelCallKeepingRegisters:
    pushq %rbp
    .seh_pushreg %rbp
    pushq %rbx
    .seh_pushreg %rbx
    pushq %rdi
    .seh_pushreg %rdi
    pushq %rsi
    .seh_pushreg %rsi
    pushq %r12
    .seh_pushreg %r12
    pushq %r13
    .seh_pushreg %r13
    pushq %r14
    .seh_pushreg %r14
    pushq %r15
    .seh_pushreg %r15
    # The callee's home space and two stack arguments, then xmm6 to xmm15;
    # after eight pushes this keeps the stack 16-byte aligned for the call.
    subq $216, %rsp
    .seh_stackalloc 216
    movaps %xmm6, 48(%rsp)
    .seh_savexmm %xmm6, 48
    movaps %xmm7, 64(%rsp)
    .seh_savexmm %xmm7, 64
    movaps %xmm8, 80(%rsp)
    .seh_savexmm %xmm8, 80
    movaps %xmm9, 96(%rsp)
    .seh_savexmm %xmm9, 96
    movaps %xmm10, 112(%rsp)
    .seh_savexmm %xmm10, 112
    movaps %xmm11, 128(%rsp)
    .seh_savexmm %xmm11, 128
    movaps %xmm12, 144(%rsp)
    .seh_savexmm %xmm12, 144
    movaps %xmm13, 160(%rsp)
    .seh_savexmm %xmm13, 160
    movaps %xmm14, 176(%rsp)
    .seh_savexmm %xmm14, 176
    movaps %xmm15, 192(%rsp)
    .seh_savexmm %xmm15, 192
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %r10
    movq 32(%r10), %r11
    movq %r11, 32(%rsp)
    movq 40(%r10), %r11
    movq %r11, 40(%rsp)
    movq (%r10), %rcx
    movq 8(%r10), %rdx
    movq 16(%r10), %r8
    movq 24(%r10), %r9
    callq *%rax
    movaps 48(%rsp), %xmm6
    movaps 64(%rsp), %xmm7
    movaps 80(%rsp), %xmm8
    movaps 96(%rsp), %xmm9
    movaps 112(%rsp), %xmm10
    movaps 128(%rsp), %xmm11
    movaps 144(%rsp), %xmm12
    movaps 160(%rsp), %xmm13
    movaps 176(%rsp), %xmm14
    movaps 192(%rsp), %xmm15
    addq $216, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rsi
    popq %rdi
    popq %rbx
    popq %rbp
    retq
    .seh_endproc
)");

namespace bridge {

namespace {

template <typename Function>
std::intptr_t CallKeepingRegisters(Function function, const std::intptr_t (&arguments)[6]) {
    return CorvanelCallKeepingRegisters(reinterpret_cast<const void*>(function), arguments);
}

std::intptr_t Pointer(const void* pointer) { return reinterpret_cast<std::intptr_t>(pointer); }

}  // namespace

int CallProgress(tProgressProc progress, int pluginNumber, char* source, char* target, int percent) {
    return static_cast<int>(
        CallKeepingRegisters(progress, {pluginNumber, Pointer(source), Pointer(target), percent, 0, 0}));
}

void CallLog(tLogProc log, int pluginNumber, int messageType, char* text) {
    CallKeepingRegisters(log, {pluginNumber, messageType, Pointer(text), 0, 0, 0});
}

BOOL CallRequest(tRequestProc request, int pluginNumber, int requestType, char* title, char* text,
                 char* returned, int size) {
    return static_cast<BOOL>(CallKeepingRegisters(
        request, {pluginNumber, requestType, Pointer(title), Pointer(text), Pointer(returned), size}));
}

}  // namespace bridge
