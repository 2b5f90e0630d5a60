// Structured exceptions on Windows x64: a frame of our own whose language handler catches
// whatever no inner frame handled, the way an MSVC __try/__except frame does. GCC has no
// __try, so the frame is written in assembly with its unwind data and names the handler; the
// handler unwinds to the frame's landing point with RtlUnwindEx, so frames of other compilers
// in between (a callback's MSVC or Delphi code) run their unwind handlers on the way. GCC's own
// frames ignore exceptions that are not GCC throws, which is why their destructors are skipped.
// Nothing is registered and nothing runs per call beyond the call itself.
#include "platform/Contain.h"

#include <windows.h>

namespace {

// GCC's own C++ throw, and the two codes its unwinder raises while a throw is under way.
constexpr DWORD kGccThrow = 0x20474343;
constexpr DWORD kGccUnwind = 0x21474343;
constexpr DWORD kGccForced = 0x22474343;

}  // namespace

extern "C" {

// The frame: calls fn(context) and returns 1; the handler resumes it at its landing point,
// where it returns 0.
int HalvexContainedCall(void (*fn)(void*), void* context);
void HalvexContainedLanding();

__attribute__((used)) EXCEPTION_DISPOSITION HalvexContainHandler(PEXCEPTION_RECORD record, PVOID establisherFrame,
                                                                  PCONTEXT context, PDISPATCHER_CONTEXT dispatcher) {
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0)
        return ExceptionContinueSearch;
    const DWORD code = record->ExceptionCode;
    // A C++ exception of this compiler is C++'s business: it reaches its catch as ever.
    if (code == kGccThrow || code == kGccUnwind || code == kGccForced) return ExceptionContinueSearch;
    RtlUnwindEx(establisherFrame, reinterpret_cast<PVOID>(&HalvexContainedLanding), record, nullptr, context,
                dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes at the landing point
}

}  // extern "C"

// 40 bytes keep the stack 16-byte aligned at the call and give the callee its home space.
// The nop keeps the return address inside the call's region of the unwind data.
asm(R"(
    .text
    .p2align 4
    .globl HalvexContainedCall
    .def HalvexContainedCall; .scl 2; .type 32; .endef
    .seh_proc HalvexContainedCall
HalvexContainedCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    movl $1, %eax
    addq $40, %rsp
    ret
    .globl HalvexContainedLanding
    .def HalvexContainedLanding; .scl 2; .type 32; .endef
HalvexContainedLanding:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_handler HalvexContainHandler, @except
    .seh_endproc
)");

namespace halvex::platform {

bool RunContained(void (*fn)(void*), void* context) { return HalvexContainedCall(fn, context) != 0; }

}  // namespace halvex::platform
