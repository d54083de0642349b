# The layering of the folder libraries, checked: a folder links exactly the folder libraries
# whose headers it includes ("#include "net/..." needs net, and linking net needs such an
# include). A link that nothing uses would hide a dependency the code does not have; an
# include without its link would lean on another library's links.
#
# ferro_check_layering() runs at the end of configuring and fails it; it also adds the ctest
# test "layering", which checks the sources again as they are when the tests run.

# The folders whose code is checked and the targets built from each, beyond those made with
# ferro_folder_library(): the foundation, the sample client and the tools.
set(FERRO_LAYERING_EXTRA_FOLDERS
    "foundation=foundation"
    "client=ferro,ferroui,ferroconsole"
    "tools/ferro-fetch=ferro-fetch"
    "tools/ferro-kv=ferro-kv"
    "tools/ferro-publish=ferro-publish")

function(ferro_check_layering)
    get_property(folders GLOBAL PROPERTY FERRO_FOLDER_LIBRARIES)
    set(libraries)
    set(entries)
    foreach(entry ${folders})
        string(REPLACE "=" ";" parts "${entry}")
        list(GET parts 0 dir)
        list(GET parts 1 target)
        file(RELATIVE_PATH dir ${PROJECT_SOURCE_DIR} ${dir})
        list(APPEND entries "${dir}=${target}")
        list(APPEND libraries "${dir}=${target}")
    endforeach()
    list(APPEND entries ${FERRO_LAYERING_EXTRA_FOLDERS})
    list(APPEND libraries "foundation=foundation")

    # The folder libraries each folder's targets link directly.
    set(data "")
    foreach(entry ${entries})
        string(REPLACE "=" ";" parts "${entry}")
        list(GET parts 0 dir)
        list(GET parts 1 targets)
        string(REPLACE "," ";" targets "${targets}")
        set(links)
        foreach(target ${targets})
            get_target_property(type ${target} TYPE)
            if(type STREQUAL "INTERFACE_LIBRARY")
                get_target_property(target_links ${target} INTERFACE_LINK_LIBRARIES)
            else()
                get_target_property(target_links ${target} LINK_LIBRARIES)
            endif()
            foreach(link ${target_links})
                foreach(library ${libraries})
                    if(library MATCHES "=${link}$")
                        string(REGEX REPLACE "=.*" "" library_dir "${library}")
                        list(APPEND links ${library_dir})
                    endif()
                endforeach()
            endforeach()
        endforeach()
        list(REMOVE_DUPLICATES links)
        string(REPLACE ";" "," links "${links}")
        string(APPEND data "${dir}|${links}\n")
    endforeach()
    set(FERRO_LAYERING_DATA ${CMAKE_BINARY_DIR}/layering.txt)
    file(WRITE ${FERRO_LAYERING_DATA} "${data}")

    set(FERRO_LAYERING_SOURCE_DIR ${PROJECT_SOURCE_DIR})
    include(${PROJECT_SOURCE_DIR}/cmake/FerroLayeringCheck.cmake)
    if(NOT CMAKE_CROSSCOMPILING AND FERRO_BUILD_TESTS)
        add_test(NAME layering
                 COMMAND ${CMAKE_COMMAND} -DFERRO_LAYERING_DATA=${FERRO_LAYERING_DATA}
                         -DFERRO_LAYERING_SOURCE_DIR=${PROJECT_SOURCE_DIR}
                         -P ${PROJECT_SOURCE_DIR}/cmake/FerroLayeringCheck.cmake)
    endif()
endfunction()
