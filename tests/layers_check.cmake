# The layer check passes a tree that keeps to the order of its folders, and refuses an include upwards, one
# sideways between devices (which would let a circle form), a library header outside its layer, and a
# write of the control record outside the motion authority:
#   cmake -DCHECK=<check_layers.cmake> -DWORK=<scratch folder> -P layers_check.cmake
file(REMOVE_RECURSE ${WORK})
file(WRITE ${WORK}/src/platform/window.cpp "#include <SDL.h>\n#include \"platform/window.h\"\n")
file(WRITE ${WORK}/src/services/log.cpp "#include \"platform/files.h\"\n")
file(WRITE ${WORK}/src/robot/motion.cpp "#include \"services/log.h\"\nvoid f() { robot.reset_control(); }\n")
file(WRITE ${WORK}/src/bus/serial.cpp "#include \"robot/robot.h\"\n#include \"services/taps.h\"\n")
file(WRITE ${WORK}/src/web/web_server.cpp "#include <boost/asio.hpp>\n#include \"record/recorder.h\"\n")
file(WRITE ${WORK}/src/app/main.cpp "#include \"web/web_server.h\"\n#include \"bus/serial.h\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK} -P ${CHECK} RESULT_VARIABLE clean OUTPUT_QUIET ERROR_VARIABLE said)
if(NOT clean EQUAL 0)
    message(FATAL_ERROR "a tree that keeps to its layers was refused:\n${said}")
endif()
file(WRITE ${WORK}/src/imaging/serialcamera.cpp "#include \"web/web_server.h\"\n")
file(WRITE ${WORK}/src/net/network.cpp "#include \"imaging/camera.h\"\n")
file(WRITE ${WORK}/src/services/taps.cpp "#include \"robot/robot.h\"\n")
file(WRITE ${WORK}/src/console/display.cpp "#include <SDL.h>\n")
file(WRITE ${WORK}/src/web/foxglove_session.cpp "void f() { robot.set_motion(0, 1); }\n")
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK} -P ${CHECK} RESULT_VARIABLE wrong ERROR_VARIABLE said OUTPUT_QUIET)
if(wrong EQUAL 0)
    message(FATAL_ERROR "includes past their layer were let through")
endif()
foreach(expected "src/imaging/serialcamera.cpp: web/web_server.h" "src/net/network.cpp: imaging/camera.h"
                 "src/services/taps.cpp: robot/robot.h" "src/console/display.cpp: <SDL.h>"
                 "src/web/foxglove_session.cpp: writes the control record")
    string(FIND "${said}" "${expected}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the check did not name ${expected}:\n${said}")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
