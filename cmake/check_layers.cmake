# Fails the build when a unit includes a header against the order of the folders, or a system or library
# header that belongs to another layer, or writes the robot's control record outside the motion authority.
# Run at every build: cmake -DSOURCE_DIR=<top> -P check_layers.cmake
# The folders of src/, from the bottom; a unit includes its own folder's headers and those of folders on
# lower lines only, so no circle of includes can form between folders:
#   platform                              the only layer that meets the operating system, SDL and GStreamer
#   services                              log, message lines, taps, threads, clock
#   robot                                 the records, the robot object, the motion authority
#   bus imaging net console automode      devices and links, side by side: none includes another
#   channels                              what the channels tell, in JSON
#   record                                the flight recorder
#   web                                   the console and Foxglove (Boost, OpenSSL)
#   fleet                                 MQTT (libmosquitto), which also tells the console's address
#   app                                   the shell: main, config, start-up and shutdown; it wires the rest
cmake_minimum_required(VERSION 3.20)
set(folder_ranks platform 0 services 1 robot 2 bus 3 imaging 3 net 3 console 3 automode 3 channels 4 record 5
    web 6 fleet 7 app 8)
# Library and system headers, with the folders that may include them.
set(system_headers "SDL" "gst/" "glib" "boost/" "openssl/" "mosquitto" "windows.h" "winsock2.h" "ws2tcpip.h"
    "sys/" "unistd.h" "termios.h" "fcntl.h" "poll.h" "netinet/" "arpa/" "netdb.h" "ifaddrs.h" "signal.h")
set(system_layers_boost/ web fleet)
set(system_layers_openssl/ web)
set(system_layers_mosquitto fleet)
# The control record's writers on the robot object: only the motion authority calls them.
set(control_writers "robot\\.(set_control|reset_control|set_motion|change_control|set_auto_mode)\\(")

# The folder a path belongs to ("app" for the program's entry beside the folders), or "" outside src/.
function(folder_of path out)
    if(path MATCHES "^src/([a-z_]+)/")
        set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
    elseif(path MATCHES "^src/[a-z_]+\\.cpp$")
        set(${out} app PARENT_SCOPE)
    else()
        set(${out} "" PARENT_SCOPE)
    endif()
endfunction()

function(rank_of folder out)
    list(FIND folder_ranks ${folder} at)
    if(at EQUAL -1)
        set(${out} -1 PARENT_SCOPE)
    else()
        math(EXPR next "${at} + 1")
        list(GET folder_ranks ${next} rank)
        set(${out} ${rank} PARENT_SCOPE)
    endif()
endfunction()

# Appends to faults what is wrong with one #include line of a unit in folder.
function(check_include source folder line)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" header "${line}")
    if(line MATCHES "\"")
        folder_of("src/${header}" target)
        if(target STREQUAL "" OR target STREQUAL folder)
            return()
        endif()
        rank_of(${folder} mine)
        rank_of(${target} theirs)
        if(theirs EQUAL -1 OR NOT theirs LESS mine)
            set(faults "${faults}  ${source}: ${header} (a unit in ${folder} may not include ${target})\n" PARENT_SCOPE)
        endif()
    elseif(NOT folder STREQUAL "platform")
        foreach(prefix IN LISTS system_headers)
            string(FIND "${header}" "${prefix}" at)
            if(at EQUAL 0 AND NOT folder IN_LIST system_layers_${prefix})
                set(faults "${faults}  ${source}: <${header}> (only the platform layer meets it)\n" PARENT_SCOPE)
            endif()
        endforeach()
    endif()
endfunction()

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp)
set(faults "")
foreach(source IN LISTS sources)
    folder_of(${source} folder)
    if(folder STREQUAL "" OR folder STREQUAL "app")
        continue()
    endif()
    rank_of(${folder} rank)
    if(rank EQUAL -1)
        string(APPEND faults "  ${source}: a folder outside the order of the layers\n")
        continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS includes)
        check_include(${source} ${folder} "${line}")
    endforeach()
    if(NOT source STREQUAL "src/robot/motion.cpp")
        file(STRINGS ${SOURCE_DIR}/${source} writes REGEX "${control_writers}")
        if(writes)
            string(APPEND faults "  ${source}: writes the control record (only the motion authority does)\n")
        endif()
    endif()
endforeach()
if(faults)
    message(FATAL_ERROR "Includes that reach past their layer:\n${faults}")
endif()
