# The Windows executable. Included from src/CMakeLists.txt on Windows targets only.

enable_language(RC)

# Windows 10 and later; LOAD_LIBRARY_SEARCH_SYSTEM32 needs at least Windows 8 headers.
add_library(buttonguard_windows_definitions INTERFACE)
target_compile_definitions(buttonguard_windows_definitions INTERFACE
  _WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
target_link_libraries(buttonguard_power_platform INTERFACE buttonguard_windows_definitions)

# The message table Event Viewer reads the Application log entries' text from, compiled by
# the message compiler (windmc; mc.exe takes the same options) beside the generated headers.
set(events_output ${CMAKE_CURRENT_BINARY_DIR}/generated)
add_custom_command(
  OUTPUT ${events_output}/buttonguard_events.rc ${events_output}/buttonguard_events_MSG00409.bin
  COMMAND ${CMAKE_MC_COMPILER} -A -b -r ${events_output} -h ${events_output}
    ${PROJECT_SOURCE_DIR}/res/buttonguard_events.mc
  DEPENDS ${PROJECT_SOURCE_DIR}/res/buttonguard_events.mc
  VERBATIM)

add_executable(buttonguard
  cli/main_windows.cpp
  power/windows/power_library_loader.cpp
  ${PROJECT_SOURCE_DIR}/res/buttonguard.rc
  ${events_output}/buttonguard_events.rc)
set_target_properties(buttonguard PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(buttonguard PRIVATE
  ${CMAKE_CURRENT_BINARY_DIR}/generated ${PROJECT_SOURCE_DIR}/res)
# powrprof is deliberately not linked: power_library_loader.cpp loads it from the system folder.
target_link_libraries(buttonguard PRIVATE
  ${BUTTONGUARD_LAYERS} buttonguard_power_platform ole32 user32 advapi32)
target_compile_options(buttonguard PRIVATE ${BUTTONGUARD_LEAN_FLAGS})

if(MINGW)
  # Small and self-contained: no libstdc++, libgcc or winpthread DLL beside the executable.
  foreach(target buttonguard buttonguard_power buttonguard_report buttonguard_guard
      buttonguard_cli)
    # Code as small as the compiler makes it: the time a run takes is the platform's calls.
    # Functions and data stay together in their file's sections, zeros in the one that takes
    # no room in the file: in a section of its own, each function or variable would be padded
    # to 16 bytes, which costs more than leaving out the few unused ones saves.
    target_compile_options(${target} PRIVATE -Oz)
    # 32-bit code unwinds by frame pointers, not by tables; with no exceptions nothing reads
    # them, and they were a sixth of the executable. (64-bit Windows needs its unwind data.)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
    endif()
  endforeach()
  # No link time in the header, so that two builds of one commit are the same to the byte.
  # The entry point is main_windows.cpp's own, in place of MinGW's start-up files.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(entry_symbol _ButtonguardEntry)
  else()
    set(entry_symbol ButtonguardEntry)
  endif()
  # The link map lets the executable check prove that nothing needs the start-up code left out.
  # Windows 8 (6.2) is the oldest that has all it imports (SetDefaultDllDirectories, without
  # an update Windows 7 may lack); an older one refuses to start it, plainly.
  target_link_options(buttonguard PRIVATE -municode -static -s -nostartfiles
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,2
    -Wl,--major-os-version,6 -Wl,--minor-os-version,2
    -Wl,-e,${entry_symbol} -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,-Map=${CMAKE_BINARY_DIR}/buttonguard.map)
elseif(MSVC)
  # The resource script embeds the manifest; the linker's own would be a second one.
  target_link_options(buttonguard PRIVATE /MANIFEST:NO)
  set_property(TARGET buttonguard PROPERTY
    MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()

install(TARGETS buttonguard RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

# The release zip (the executable and the README) and SHA256SUMS beside it, the same to the
# byte from any build of the same commit.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(release_name "buttonguard-${PROJECT_VERSION}-win64")
else()
  set(release_name "buttonguard-${PROJECT_VERSION}-win32")
endif()
find_package(Python3 COMPONENTS Interpreter)
if(Python3_FOUND)
  set(release_zip ${CMAKE_BINARY_DIR}/${release_name}.zip)
  add_custom_command(OUTPUT ${release_zip} ${CMAKE_BINARY_DIR}/SHA256SUMS
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/release-zip.py
      ${PROJECT_SOURCE_DIR} ${release_zip} $<TARGET_FILE:buttonguard> ${PROJECT_SOURCE_DIR}/README.md
    DEPENDS buttonguard ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/scripts/release-zip.py
    COMMENT "Packing ${release_name}.zip and SHA256SUMS"
    VERBATIM)
  add_custom_target(release_zip ALL DEPENDS ${release_zip})

  # The per-machine MSI, for fleets, from Debian's wixl and msibuild (msitools), run with
  # Debian's own Python, which has python3-olefile. Its hash joins the zip's in SHA256SUMS.
  find_program(BUTTONGUARD_WIXL wixl)
  find_program(BUTTONGUARD_MSIBUILD msibuild)
  set(BUTTONGUARD_MSI_PYTHON /usr/bin/python3 CACHE FILEPATH
    "A Python 3 with the olefile module, for the MSI")
  if(BUTTONGUARD_WIXL AND BUTTONGUARD_MSIBUILD AND EXISTS ${BUTTONGUARD_MSI_PYTHON})
    set(release_msi ${CMAKE_BINARY_DIR}/${release_name}.msi)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
      set(msi_architecture x64)
    else()
      set(msi_architecture x86)
    endif()
    add_custom_command(OUTPUT ${release_msi}
      COMMAND ${BUTTONGUARD_MSI_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/release-msi.py
        ${PROJECT_SOURCE_DIR} ${release_msi} ${msi_architecture} ${PROJECT_VERSION}
        $<TARGET_FILE:buttonguard> ${PROJECT_SOURCE_DIR}/README.md
      # Everything the zip is made from too: each time the zip and its SHA256SUMS are made
      # anew, so is the MSI, after them. (Naming the zip itself here would make a second copy
      # of its rule, run at the same time as the first.)
      DEPENDS buttonguard ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/scripts/release-zip.py
        ${PROJECT_SOURCE_DIR}/res/buttonguard.wxs ${PROJECT_SOURCE_DIR}/scripts/release-msi.py
      COMMENT "Building ${release_name}.msi"
      VERBATIM)
    add_custom_target(release_msi ALL DEPENDS ${release_msi})
    add_dependencies(release_msi release_zip)
  else()
    message(WARNING "No wixl, msibuild or ${BUTTONGUARD_MSI_PYTHON} (Debian: wixl msitools "
      "python3-olefile): no MSI")
  endif()
else()
  message(WARNING "No Python 3 interpreter: no release zip")
endif()
