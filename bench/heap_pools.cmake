revurov_bench(heap_pools revurov_lowlevel ${CMAKE_DL_LIBS})
