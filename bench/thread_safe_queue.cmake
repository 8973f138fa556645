# Four producers and one consumer through the thread-safe queue against a
# mutex, condition variable and deque.
revurov_bench(thread_safe_queue revurov_remoting)
