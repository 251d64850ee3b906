// Follows Apple's CommonCrypto manual page CC_MD5(3cc) (CC_MD5_Init, CC_MD5_Update, CC_MD5_Final, CC_LONG,
// CC_MD5_CTX, CC_MD5_DIGEST_LENGTH), deprecated from macOS 10.15 on as in the SDK.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t CC_LONG;
#define CC_MD5_DIGEST_LENGTH 16
#define CC_MD5_BLOCK_BYTES 64
#define CC_MD5_BLOCK_LONG (CC_MD5_BLOCK_BYTES / sizeof(CC_LONG))

typedef struct CC_MD5state_st {
    CC_LONG A, B, C, D;
    CC_LONG Nl, Nh;
    CC_LONG data[CC_MD5_BLOCK_LONG];
    int num;
} CC_MD5_CTX;

#define QUORVEL_CC_MD5_DEPRECATED __attribute__((availability(macos, introduced = 10.4, deprecated = 10.15)))
int CC_MD5_Init(CC_MD5_CTX* c) QUORVEL_CC_MD5_DEPRECATED;
int CC_MD5_Update(CC_MD5_CTX* c, const void* data, CC_LONG len) QUORVEL_CC_MD5_DEPRECATED;
int CC_MD5_Final(unsigned char* md, CC_MD5_CTX* c) QUORVEL_CC_MD5_DEPRECATED;

#ifdef __cplusplus
}
#endif
