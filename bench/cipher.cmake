find_package(OpenSSL REQUIRED COMPONENTS Crypto)
revurov_bench(cipher revurov_lowlevel OpenSSL::Crypto)
