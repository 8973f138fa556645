if(TARGET revurov_client_platform)
  revurov_bench(gui_calls revurov_client_platform)
endif()
