# Stops the build for a free-threaded interpreter: the module relies on the interpreter lock.
# Included by CMakeLists.txt after find_package(Python); also runs on its own with
#   cmake -DPython_EXECUTABLE=/path/to/python -P cmake/RefuseFreeThreaded.cmake
execute_process(COMMAND "${Python_EXECUTABLE}" -c
                "import sysconfig; print(int(bool(sysconfig.get_config_var('Py_GIL_DISABLED'))))"
                OUTPUT_VARIABLE VELMORA_PYTHON_FREE_THREADED OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE VELMORA_PYTHON_QUERY_STATUS)
if(NOT VELMORA_PYTHON_QUERY_STATUS EQUAL 0)
  message(FATAL_ERROR "could not ask ${Python_EXECUTABLE} how it was built")
endif()
if(VELMORA_PYTHON_FREE_THREADED)
  message(FATAL_ERROR "velmora needs an interpreter with the global interpreter lock: "
          "${Python_EXECUTABLE} is a free-threaded build. Build with a regular CPython 3.12 or later.")
endif()
