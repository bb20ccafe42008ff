# Compile settings shared by every target of the project: warnings, strict Qt defines, sanitizers.
add_library(quilvant_settings INTERFACE)
target_compile_options(quilvant_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused
    -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Wformat=2)
# When optimising, GCC 12 reports "potential null pointer dereference" and "may be used uninitialized" deep inside
# inlined standard library and Qt code (std::function, std::vector, std::variant) where no such path exists.
target_compile_options(quilvant_settings INTERFACE
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<NOT:$<CONFIG:Debug>>>:-Wno-null-dereference;-Wno-maybe-uninitialized>)
if(QUILVANT_WERROR)
    target_compile_options(quilvant_settings INTERFACE -Werror)
endif()
target_compile_definitions(quilvant_settings INTERFACE
    QT_NO_KEYWORDS
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_USE_QSTRINGBUILDER
    QUILVANT_VERSION="${PROJECT_VERSION}"
    QUILVANT_ICON_NAME="${QUILVANT_ICON_NAME}"
    QUILVANT_DESKTOP_FILE="${QUILVANT_DESKTOP_FILE}")
if(QUILVANT_SANITIZE)
    target_compile_options(quilvant_settings INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(quilvant_settings INTERFACE -fsanitize=address,undefined)
endif()
