// The one place that installs a structured exception frame by hand. MSVC has
// __try/__except for it; mingw-w64's g++ has no such keywords and its catch (...)
// does not see structured exceptions, so for it a small function written in
// assembly registers a frame handler: on x86_64 through the function's unwind
// data (.seh_handler), on i686 through the thread's frame chain (fs:[0]).
#include "GuardedCall.h"

namespace tern {

bool IsStoppedException(DWORD dwCode) {
    constexpr DWORD kSeverityError = 0xC0000000;
    constexpr DWORD kMsvcCxxException = 0xE06D7363;
    return (dwCode & kSeverityError) == kSeverityError && dwCode != kMsvcCxxException &&
           dwCode != STATUS_STACK_OVERFLOW;
}

namespace {
constexpr DWORD kUnwindFlags = EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND;
}  // namespace

}  // namespace tern

#if defined(_MSC_VER)

namespace tern {

namespace {
int GuardFilter(DWORD dwCode) {
    return IsStoppedException(dwCode) ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}
}  // namespace

DWORD CallGuarded(void (*pfn)(void*), void* pContext) {
    __try {
        pfn(pContext);
    } __except (GuardFilter(GetExceptionCode())) {
        return GetExceptionCode();
    }
    return 0;
}

}  // namespace tern

#elif defined(__GNUC__) && defined(__x86_64__)

// tern_GuardedInvoke(pfn, pContext, pdwCode): returns 0 after pfn returned, 1
// when the handler stopped an exception (its code is then in *pdwCode). Frame:
// 32 bytes of home space for the callee, pdwCode at 32, padding; the
// establisher frame the handler receives is rsp after the prologue.
extern "C" {
DWORD tern_GuardedInvoke(void (*pfn)(void*), void* pContext, DWORD* pdwCode);
void tern_GuardedInvokeResume();
EXCEPTION_DISPOSITION tern_GuardedInvokeHandler(EXCEPTION_RECORD* pRecord, void* pFrame,
                                                CONTEXT* pContext, DISPATCHER_CONTEXT* pDispatch);
}

asm(R"(
    .text
    .p2align 4
    .globl tern_GuardedInvoke
    .def tern_GuardedInvoke; .scl 2; .type 32; .endef
    .seh_proc tern_GuardedInvoke
tern_GuardedInvoke:
    pushq %rbp
    .seh_pushreg %rbp
    subq $48, %rsp
    .seh_stackalloc 48
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    xorl %eax, %eax
    .globl tern_GuardedInvokeResume
tern_GuardedInvokeResume:
    addq $48, %rsp
    popq %rbp
    ret
    .seh_handler tern_GuardedInvokeHandler, @except
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION tern_GuardedInvokeHandler(EXCEPTION_RECORD* pRecord,
                                                          void* pFrame, CONTEXT* /*pContext*/,
                                                          DISPATCHER_CONTEXT* pDispatch) {
    if ((pRecord->ExceptionFlags & tern::kUnwindFlags) != 0 ||
        !tern::IsStoppedException(pRecord->ExceptionCode)) {
        return ExceptionContinueSearch;
    }
    DWORD* pdwCode = *reinterpret_cast<DWORD**>(static_cast<char*>(pFrame) + 32);
    *pdwCode = pRecord->ExceptionCode;
    // Unwinds the frames above the guard and resumes at the label with rax = 1
    // and rsp = the guard's frame; does not return.
    ::RtlUnwindEx(pFrame, reinterpret_cast<void*>(&tern_GuardedInvokeResume), pRecord,
                  reinterpret_cast<void*>(1), pDispatch->ContextRecord, pDispatch->HistoryTable);
    return ExceptionContinueSearch;
}

namespace tern {
DWORD CallGuarded(void (*pfn)(void*), void* pContext) {
    DWORD dwCode = 0;
    return tern_GuardedInvoke(pfn, pContext, &dwCode) == 0 ? 0 : dwCode;
}
}  // namespace tern

#elif defined(__GNUC__) && defined(__i386__)

// tern_GuardedInvoke(pfn, pContext, pdwCode), cdecl: as on x86_64. The frame
// record on the stack: previous record, handler, the function's ebp, pdwCode.
extern "C" {
DWORD tern_GuardedInvoke(void (*pfn)(void*), void* pContext, DWORD* pdwCode);
void tern_GuardedInvokeResume();
EXCEPTION_DISPOSITION __cdecl tern_GuardedInvokeHandler(EXCEPTION_RECORD* pRecord, void* pFrame,
                                                        CONTEXT* pContext, void* pDispatch);
}

asm(R"(
    .text
    .p2align 4
    .globl _tern_GuardedInvoke
    .def _tern_GuardedInvoke; .scl 2; .type 32; .endef
_tern_GuardedInvoke:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl 16(%ebp)
    pushl %ebp
    pushl $_tern_GuardedInvokeHandler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    addl $4, %esp
    xorl %eax, %eax
    .globl _tern_GuardedInvokeResume
_tern_GuardedInvokeResume:
    movl (%esp), %ecx
    movl %ecx, %fs:0
    addl $16, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {
struct GuardRecord {
    void* pPrevious;
    void* pHandler;
    DWORD dwEbp;
    DWORD* pdwCode;
};
}  // namespace

extern "C" EXCEPTION_DISPOSITION __cdecl tern_GuardedInvokeHandler(EXCEPTION_RECORD* pRecord,
                                                                  void* pFrame, CONTEXT* pContext,
                                                                  void* /*pDispatch*/) {
    if ((pRecord->ExceptionFlags & tern::kUnwindFlags) != 0 ||
        !tern::IsStoppedException(pRecord->ExceptionCode)) {
        return ExceptionContinueSearch;
    }
    GuardRecord* pGuard = static_cast<GuardRecord*>(pFrame);
    *pGuard->pdwCode = pRecord->ExceptionCode;
    // Lets the frames above the guard see the unwind and drops them from the
    // chain; then the thread resumes at the label on the guard's frame.
    ::RtlUnwind(pFrame, nullptr, pRecord, nullptr);
    pContext->Esp = reinterpret_cast<DWORD>(pFrame);
    pContext->Ebp = pGuard->dwEbp;
    pContext->Eax = 1;
    pContext->Eip = reinterpret_cast<DWORD>(&tern_GuardedInvokeResume);
    return ExceptionContinueExecution;
}

namespace tern {
DWORD CallGuarded(void (*pfn)(void*), void* pContext) {
    DWORD dwCode = 0;
    return tern_GuardedInvoke(pfn, pContext, &dwCode) == 0 ? 0 : dwCode;
}
}  // namespace tern

#else
#error "CallGuarded needs a structured exception frame for this compiler"
#endif
