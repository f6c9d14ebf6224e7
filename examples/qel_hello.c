/* A minimal host: link libqelcore and print what it is. */
#include <stdio.h>

#include "qelcore.h"

int main(void) {
    printf("libqelcore %s, interface %u\n", qel_engine_version(), qel_abi_version());
    return 0;
}
