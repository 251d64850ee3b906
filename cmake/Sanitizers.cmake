# QUORVEL_SANITIZE: "address;undefined" (dev), "thread" (tsan) or empty (release).
set(QUORVEL_SANITIZE "" CACHE STRING "Sanitizers for every target: address;undefined, thread or empty")
if(QUORVEL_SANITIZE)
    list(JOIN QUORVEL_SANITIZE "," _quorvel_sanitizers)
    add_compile_options(-fsanitize=${_quorvel_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_quorvel_sanitizers})
endif()
