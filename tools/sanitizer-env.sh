#!/usr/bin/env bash
# Runtime options of the sanitizer runs; sourced by the Makefile as
#   source tools/sanitizer-env.sh cpp|python|thread
# Every option is here, with its reason, so that a local run and CI behave alike.

# UndefinedBehaviorSanitizer (built with -fno-sanitize-recover=undefined, so UB already stops
# the run): print_stacktrace shows where, halt_on_error makes the intent explicit.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# AddressSanitizer options common to every run:
#   strict_string_checks=1         C string functions check the whole string, not just what they read
#   detect_stack_use_after_return=1  locals used after their function returned (views, ranges)
#   check_initialization_order=1   static initialisers that read another unit's statics too early
asan_common="strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"

case "${1:-}" in
  cpp)
    # The test binaries are instrumented from main() on, so LeakSanitizer sees every allocation:
    # a leak in the build-and-drop loops fails the run at exit.
    export ASAN_OPTIONS="${asan_common}:detect_leaks=1"
    ;;
  python)
    # The interpreter is not instrumented, so the ASan runtime has to be loaded before it
    # allocates anything: preloading puts it first, ahead of the interpreter and libc's malloc.
    # gcc's libubsan is loaded with the module (it is one of its dependencies) and needs no
    # preloading.
    # libstdc++ is preloaded after it: the interpreter does not link it, and ASan's exception
    # interceptor must find the real __cxa_throw when it starts, or the first C++ exception
    # thrown by the module aborts the run.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    # detect_leaks=0: CPython does not free its interned objects, module state and caches at
    # exit, so LeakSanitizer would report the interpreter's own memory. Leaks of the native
    # objects are checked by the C++ run above instead (detect_leaks=1 over the same loops).
    export ASAN_OPTIONS="${asan_common}:detect_leaks=0"
    # Every Python object through malloc instead of Python's arena allocator, so ASan also
    # catches native code touching a Python object's memory after it was freed.
    export PYTHONMALLOC=malloc
    ;;
  thread)
    # halt_on_error=1: the first data race fails the run (exit code 66) rather than a report
    # in the middle of a passing log. second_deadlock_stack=1: both stacks for lock-order
    # reports.
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
    ;;
  *)
    echo "usage: source tools/sanitizer-env.sh cpp|python|thread" >&2
    return 2 2>/dev/null || exit 2
    ;;
esac
