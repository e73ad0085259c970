# The Windows build (mingw-w64, see the toolchain files beside this one). The engine is
# compiled against the real Win32 API: platform/win32 holds only what Windows lacks, and its
# headers stand in front of platform/ on the include path, so "platform/windows.h" and the
# others name the system's API plus those few additions.
# _POSIX_THREAD_SAFE_FUNCTIONS: localtime_r and gmtime_r from the C library's headers.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 _POSIX_THREAD_SAFE_FUNCTIONS)
include_directories(BEFORE ${CMAKE_SOURCE_DIR}/platform/win32/include)

file(GLOB _win32_platform CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/*.cpp)
add_library(zodiva_platform STATIC ${_win32_platform})
target_include_directories(zodiva_platform PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(zodiva_platform PUBLIC Threads::Threads ws2_32)

# TLS through Windows' own TLS (net/win32/TlsSession.cpp) in place of the OpenSSL session,
# behind the same class, so nothing above the session knows which one it has.
function(zodiva_windows_net)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/net/*.cpp)
  list(FILTER _src EXCLUDE REGEX "/TlsSession\\.cpp$")
  add_library(zodiva_net STATIC ${_src} ${CMAKE_SOURCE_DIR}/net/win32/TlsSession.cpp)
  target_include_directories(zodiva_net PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(zodiva_net PUBLIC zodiva_support secur32 crypt32 ws2_32)
  zodiva_library_batches(zodiva_net)
endfunction()

# newsd, on Windows Sockets here: the demo server of --demo, and the server the nntp, engine
# and dialog-logic tests talk to in-process. Its program (main.cpp) is built for Linux only.
function(zodiva_windows_newsd)
  file(GLOB _newsd CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/newsd/*.cpp ${CMAKE_SOURCE_DIR}/newsd/win32/*.cpp)
  list(FILTER _newsd EXCLUDE REGEX "/(main|CommandLine)\\.cpp$")
  add_library(newsd_lib STATIC ${_newsd})
  target_include_directories(newsd_lib PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(newsd_lib PUBLIC Threads::Threads ws2_32)
  zodiva_library_batches(newsd_lib)
endfunction()

# The metrics endpoint on the single-header HTTP library kept in third_party/: Debian's
# package of the same version installs a header whose body is a Linux shared library.
function(zodiva_windows_metrics)
  file(GLOB _metrics CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/metrics/*.cpp)
  add_library(zodiva_metrics STATIC ${_metrics})
  target_include_directories(zodiva_metrics PUBLIC ${CMAKE_SOURCE_DIR})
  target_include_directories(zodiva_metrics SYSTEM PRIVATE ${CMAKE_SOURCE_DIR}/third_party/cpp-httplib)
  target_link_libraries(zodiva_metrics PUBLIC zodiva_engine ws2_32)
  zodiva_library_batches(zodiva_metrics)
endfunction()

# The JSON library the front ends write with: Debian's nlohmann-json is headers alone, the
# same for every target. Its folder is copied into the build, so that the cross compiler finds
# it without seeing the rest of the build machine's own headers.
function(zodiva_windows_json)
  find_path(ZODIVA_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ZODIVA_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found (Debian package nlohmann-json3-dev)")
  endif()
  file(COPY ${ZODIVA_JSON_INCLUDE}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/json-include)
  add_library(zodiva_json INTERFACE)
  target_include_directories(zodiva_json SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/json-include)
endfunction()

# The front ends.
function(zodiva_windows_programs)
  zodiva_windows_newsd()
  zodiva_windows_metrics()
  zodiva_windows_json()
  file(GLOB _core CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/core/*.cpp)
  list(FILTER _core EXCLUDE REGEX "/StopSignals\\.cpp$")
  add_library(zodiva_frontend STATIC ${_core} ${CMAKE_SOURCE_DIR}/app/win32/StopSignals.cpp
    ${CMAKE_SOURCE_DIR}/app/reg/SettingKeys.cpp)
  target_include_directories(zodiva_frontend PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(zodiva_frontend PUBLIC zodiva_engine zodiva_metrics newsd_lib zodiva_json)
  zodiva_library_batches(zodiva_frontend)

  # One console program for both front ends, as on Linux: --headless in the console, else the
  # native dialog from the resource templates (which hides a console made just for it).
  enable_language(RC)
  add_executable(zodiva ${CMAKE_SOURCE_DIR}/app/main.cpp ${CMAKE_SOURCE_DIR}/app/win32/TestDialog.cpp
    ${CMAKE_SOURCE_DIR}/app/win32/RateChartWindow.cpp ${CMAKE_SOURCE_DIR}/app/win32/zodiva.rc)
  target_include_directories(zodiva PRIVATE ${CMAKE_SOURCE_DIR}/app/win32)
  target_compile_definitions(zodiva PRIVATE ZODIVA_WITH_NATIVE_DIALOG=1)
  target_link_libraries(zodiva PRIVATE zodiva_frontend comctl32 gdi32)
  install(TARGETS zodiva)
endfunction()

# Unit tests of support, net, nntp and engine as Windows programs, run by ctest through Wine (the
# toolchain file sets the emulator). GoogleTest is built from Debian's sources with the same
# compiler. One ctest entry per program: starting a Windows process under Wine costs about a
# second, too much to pay per test.
# The 32-bit build (preset mingw32) makes the same programs; scripts/test-windows builds them but
# cannot run them (README, "Windows").
function(zodiva_windows_tests)
  set(_gtest_sources /usr/src/googletest)
  if(NOT EXISTS ${_gtest_sources}/CMakeLists.txt)
    message(STATUS "GoogleTest sources not found (Debian package googletest): no Windows tests")
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${_gtest_sources} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

  set(_tests ${CMAKE_SOURCE_DIR}/tests)
  file(GLOB _helpers CONFIGURE_DEPENDS ${_tests}/common/*.cpp)
  add_library(zodiva_testing STATIC ${_helpers} ${_tests}/common/win32/RegistryFile.cpp
    ${CMAKE_SOURCE_DIR}/platform/RegFile.cpp)
  target_include_directories(zodiva_testing PUBLIC ${CMAKE_SOURCE_DIR} ${_tests})
  target_compile_options(zodiva_testing PUBLIC -include ${_tests}/common/win32/PosixForTests.h)
  target_link_libraries(zodiva_testing PUBLIC zodiva_support newsd_lib gtest gmock)

  # subsystem, library, the test sources, and the tests left out (a GoogleTest filter).
  function(zodiva_windows_unit_tests subsystem library sources skipped)
    list(TRANSFORM sources PREPEND ${_tests}/unit/${subsystem}/)
    add_executable(unit_${subsystem} ${sources})
    target_link_libraries(unit_${subsystem} PRIVATE zodiva_testing ${library} gtest_main)
    zodiva_unity_batches(unit_${subsystem})
    add_test(NAME windows_unit_${subsystem} COMMAND unit_${subsystem} --gtest_filter=-${skipped})
    set_tests_properties(windows_unit_${subsystem} PROPERTIES LABELS windows TIMEOUT 600)
  endfunction()
  function(zodiva_all_sources subsystem out)
    file(GLOB _src CONFIGURE_DEPENDS RELATIVE ${_tests}/unit/${subsystem} ${_tests}/unit/${subsystem}/*.cpp)
    set(${out} ${_src} PARENT_SCOPE)
  endfunction()

  # Tests left out, each for a reason of Windows or Wine rather than of the code under test:
  # - sizes on disk count the CR of every line, so rotation happens at other lines than
  #   the line-by-line model of the test counts (SameBytesAsWritingLineByLine);
  # - a file deleted while the log holds it keeps its name until closed, and Wine does not
  #   report it as delete-pending (LogReplacedByAFolder..., TraceLogDeletedBetweenLines...);
  # - Windows cannot remove the current folder (FolderRemovedAndMadeAgain,
  #   WorkingFolderRemovedAndMadeAgainIsEnteredAgain);
  # - rename never replaces an existing file (TraceLogRenamedOrReplacedIsLeftAlone);
  # - death tests re-run the test in a new process, which makes a temporary folder of its
  #   own (TraceLogCrash);
  # - a top-level window needs a display under Wine (WindowWithoutOwner...);
  # - TerminateThread really ends a thread that Stop gave up on, where the Linux layer lets
  #   it run on to clean up after itself (the two WorkerThreadTest cases of a busy thread).
  zodiva_all_sources(support _support)
  zodiva_windows_unit_tests(support zodiva_support "${_support}"
    "TraceLogWriterTest.SameBytesAsWritingLineByLine:TraceLogWriterTest.LogReplacedByAFolderLosesLinesUntilItIsGone:TraceLogWriterTest.FolderRemovedAndMadeAgain:TraceLogWriterTest.WorkingFolderRemovedAndMadeAgainIsEnteredAgain:TraceLogCrash.*:Logs.TraceLogDeletedBetweenLinesIsRecreatedWithItsHeader:Logs.TraceLogRenamedOrReplacedIsLeftAlone")
  # The transport tests with a TLS server need OpenSSL for the server's end, which this build
  # has not: the Windows session meets real servers in scripts/test-windows instead.
  # Left out as well: a window class cannot be registered again under the name HiddenWindow
  # has registered already, so the test's class that refuses windows never takes effect
  # (ASocketWithoutAWindowNeverDropsAnotherObjectsNotifications).
  zodiva_all_sources(net _net)
  list(REMOVE_ITEM _net tls_socket_test.cpp)
  zodiva_windows_unit_tests(net zodiva_net "${_net}"
    "HiddenWindowTest.WindowWithoutOwnerIsAnsweredByDefaultHandling:BaseSocketTest.ASocketWithoutAWindowNeverDropsAnotherObjectsNotifications")
  # - the article file is opened unshared, as the engine does on Windows, so a test cannot
  #   read it while it is written (the three ArticleTest and ArticleBytesTest cases that do).
  zodiva_all_sources(nntp _nntp)
  zodiva_windows_unit_tests(nntp zodiva_nntp "${_nntp}"
    "ArticleTest.ArticleFileHoldsHeaderBlankLineAndUnstuffedBodyUntilItIsComplete:ArticleBytesTest.DotsAreUnstuffedAndOnlyDotCrEndsTheText:ArticleBytesTest.ChangeOfWriteToDiskTakesEffectWithinAnArticle")
  zodiva_all_sources(engine _engine)
  zodiva_windows_unit_tests(engine zodiva_engine "${_engine}"
    "WorkerThreadTest.BusyThreadIsGivenUpAndCleansUpAfterItselfLater:WorkerThreadTest.ThreadThatEndsAfterTheTimeOutButBeforeReleaseIsDeletedByTheOwner")
  # The metrics: their text, the totals across downloads and the HTTP endpoint.
  zodiva_all_sources(metrics _metrics)
  zodiva_windows_unit_tests(metrics zodiva_metrics "${_metrics}" "")
  # The front ends' own logic (command line, dialog logic, figures, status rows, the metrics
  # options). Left out: the headless runs, which start zodiva as a child process with fork;
  # a thread given up on, which TerminateThread really ends here (see WorkerThreadTest); and
  # the metrics across two downloads, which expect the engine thread's CPU time, of which
  # Wine's GetThreadTimes reports none (see the platform's thread times test).
  zodiva_all_sources(app _app)
  list(REMOVE_ITEM _app headless_test.cpp)
  zodiva_windows_unit_tests(app zodiva_frontend "${_app}"
    "DialogLogicTest.AnEngineThreadThatDoesNotStopInTimeIsGivenUpSafely:MetricsOptionsTest.TheDialogLogicReportsEveryDownloadAndTheTotalsKeepTheEarlierOnes")

  # The platform's own tests, against the real API. What only our Linux layer promises (the
  # never-reused handle numbers, the leak counts, the errno table, features left out on
  # purpose) is compiled for Linux alone, each with its reason beside it; left out here:
  # - Windows' timers do not follow the test clock, and Windows makes WM_TIMER only when no
  #   posted message waits, where our layer lets a due timer go first (TimerTest.*,
  #   TimerThreads.*, DueTimerGoesAheadOfSocketTraffic);
  # - under Wine a close with a zero SO_LINGER reaches the far end as a graceful one (FD_CLOSE
  #   without an error, recv 0), where Windows resets the connection and the far end's
  #   FD_CLOSE carries WSAECONNRESET (ResetIsReportedAsConnectionReset);
  # - a reset behind unread data is announced when it arrives, before the data has been read
  #   (under Wine as a graceful close, as above), where our layer gives the data first
  #   (DataThenResetGivesTheDataThenTheReset);
  # - Windows posts another FD_READ after every recv that leaves bytes and keeps those queued,
  #   where our layer withdraws the ones that would find nothing
  #   (FionreadCountsWhatIsLeftAfterAPartialRecv);
  # - Wine's WSACancelAsyncRequest answers 0 for any handle, where Windows fails for a lookup
  #   that has finished or that it does not know (FinishedOrUnknownLookupCannotBeCancelled).
  zodiva_all_sources(platform _platform)
  zodiva_windows_unit_tests(platform zodiva_platform "${_platform}"
    "TimerTest.*:TimerThreads.*:WinsockTest.DueTimerGoesAheadOfSocketTraffic:WinsockTest.ResetIsReportedAsConnectionReset:WinsockTest.DataThenResetGivesTheDataThenTheReset:WinsockTest.FionreadCountsWhatIsLeftAfterAPartialRecv:WinsockTest.FinishedOrUnknownLookupCannotBeCancelled")

  # Drives zodiva.exe's dialog from outside; it needs a display and a news server, so
  # scripts/test-windows runs it rather than ctest.
  add_executable(dialog_driver ${_tests}/win32/dialog_driver.cpp)
  target_include_directories(dialog_driver PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(dialog_driver PRIVATE gdi32)
endfunction()
