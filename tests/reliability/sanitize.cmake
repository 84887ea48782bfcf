# Sanitized build: the module, the local relay and every test host carry
# ASan and UBSan, and any finding ends the process with a failure.
set(UPDATE_SANITIZE_FLAGS -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${UPDATE_SANITIZE_FLAGS})
# nodelete keeps an unloaded module's frames readable in leak reports.
add_link_options(${UPDATE_SANITIZE_FLAGS} -Wl,-z,nodelete)
# Debian's lua5.2 carries no sanitizer runtime; busted runs under a host
# linked with it instead of a preload that its child processes would inherit.
set(LUA52 $<TARGET_FILE:luahost>)
