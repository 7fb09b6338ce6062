# The web console: its sources join quillon_core, with Boost.Beast/Asio/JSON (headers only) and OpenSSL;
# the page's files are built into the program as byte arrays.
# The Windows build has neither library: it has a console that says it is not there.
if(WIN32)
    target_sources(quillon_core PRIVATE ${PROJECT_SOURCE_DIR}/src/web/noconsole/web_server.cpp)
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

target_sources(quillon_core PRIVATE ${WEB_SOURCES} ${WEB_ASSETS_CPP})
target_link_libraries(quillon_core PUBLIC Boost::headers OpenSSL::SSL OpenSSL::Crypto)
# Asio without its deprecated names; Beast speaks std::string_view.
target_compile_definitions(quillon_core PUBLIC BOOST_ASIO_NO_DEPRECATED BOOST_BEAST_USE_STD_STRING_VIEW)
