# A shared content lock of a table cursor taken and ended outside a
# transaction, against std::shared_mutex lock_shared and unlock_shared.
revurov_bench(content_lock revurov_server)
