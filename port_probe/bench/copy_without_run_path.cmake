# cmake -DFROM=<program> -DTO=<copy> -P copy_without_run_path.cmake
file(COPY_FILE ${FROM} ${TO})
file(RPATH_REMOVE FILE ${TO})
