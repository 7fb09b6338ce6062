# The web console, a layer of its own (quillon_web) over the core units, with Boost.Beast/Asio/JSON (headers only) and OpenSSL;
# the page's files are built into the program as byte arrays.
# The Windows build has neither library: it has a console that says it is not there.
if(WIN32)
    add_library(quillon_web STATIC ${PROJECT_SOURCE_DIR}/src/web/noconsole/web_server.cpp)
    target_link_libraries(quillon_web PUBLIC quillon_record quillon_core)
    return()
endif()

find_package(Boost 1.81 REQUIRED)
find_package(OpenSSL REQUIRED)

file(GLOB WEB_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/web/*.cpp)
file(GLOB WEB_PAGE_FILES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/web/page/*)
set(WEB_ASSETS_CPP ${PROJECT_BINARY_DIR}/generated/web_assets.cpp)
add_custom_command(
    OUTPUT ${WEB_ASSETS_CPP}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${WEB_ASSETS_CPP} "-DINPUTS=${WEB_PAGE_FILES}"
            -P ${PROJECT_SOURCE_DIR}/src/web/embed_assets.cmake
    DEPENDS ${WEB_PAGE_FILES} ${PROJECT_SOURCE_DIR}/src/web/embed_assets.cmake
    COMMENT "Embedding the web console's page"
    VERBATIM)

add_library(quillon_web STATIC ${WEB_SOURCES} ${WEB_ASSETS_CPP})
target_link_libraries(quillon_web PUBLIC quillon_record quillon_core PRIVATE Boost::headers OpenSSL::SSL OpenSSL::Crypto)
# Asio without its deprecated names; Beast speaks std::string_view. Public, so that whoever compiles a web
# header (the tests) sees Beast the same way.
target_compile_definitions(quillon_web PUBLIC BOOST_ASIO_NO_DEPRECATED)
