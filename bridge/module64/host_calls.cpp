#include "bridge/module64/host_calls.h"

#include <cstdint>

// Calls `function` with the first six of `arguments` as its integer
// arguments, in the x64 calling convention, and gives back what it returned.
// The registers a callee must keep, and MXCSR and the x87 control word, are
// saved before the call and put back after it, so they come back as they
// were even from a callee that breaks the convention. The unwind
// information describes the frame, so an exception may pass through it.
extern "C" std::intptr_t CorvanelCallKeepingRegisters(const void* function, const std::intptr_t* arguments);

asm(R"(
    .text
    .p2align 4
    .globl CorvanelCallKeepingRegisters
    .def CorvanelCallKeepingRegisters; .scl 2; .type 32; .endef
    .seh_proc CorvanelCallKeepingRegisters
CorvanelCallKeepingRegisters:
    .irp reg, rbp, rbx, rdi, rsi, r12, r13, r14, r15
    pushq %\reg
    .seh_pushreg %\reg
    .endr
    # The callee's home space and two stack arguments, then xmm6 to xmm15 at
    # 48 + 16 * (n - 6), MXCSR at 208 and the x87 control word at 212;
    # after eight pushes this keeps the stack 16-byte aligned for the call.
    subq $216, %rsp
    .seh_stackalloc 216
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movaps %xmm\n, 48 + 16 * (\n - 6)(%rsp)
    .seh_savexmm %xmm\n, 48 + 16 * (\n - 6)
    .endr
    .seh_endprologue
    stmxcsr 208(%rsp)
    fnstcw 212(%rsp)
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
    ldmxcsr 208(%rsp)
    fldcw 212(%rsp)
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movaps 48 + 16 * (\n - 6)(%rsp), %xmm\n
    .endr
    addq $216, %rsp
    .irp reg, r15, r14, r13, r12, rsi, rdi, rbx, rbp
    popq %\reg
    .endr
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

int HostCallbacks::Mask() const {
    return (progress ? kHasProgress : 0) | (log ? kHasLog : 0) | (request ? kHasRequest : 0);
}

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
