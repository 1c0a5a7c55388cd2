// Signing vectors that both ends of the report are tested against: the
// fields' bytes as they stand in a body (code page 936), and the signature
// of game id, identifier, time and the built-in key, computed apart from
// our code.
#ifndef QV_TESTS_REPORTVECTORS_H
#define QV_TESTS_REPORTVECTORS_H

struct QVSigningVector {
    const char* gameId;
    const char* guid;
    const char* time;
    const char* sign;
};

const QVSigningVector kSigningVectors[] = {
    {"3", "abc", "1733700000", "60CB88D95BAB294968CAD68F508A5C42"},  // 24 bytes of signing text
    {"", "", "", "25B2943BFC744DC85A70F093F26380C2"},                 // the key alone
    {"\xD0\xC7\xB3\xBD", "0a1b2c3d4e5fWD-WMC1234567820100101080000", "1796795383",
     "9DC776E5E6509E1BF07A8588232999D6"},  // a CJK id in GBK
    {"3", "0a1b2c3d4e5f   S3RIAL  20100101080000", "-5", "38C04419D5FBEA2B047A79C964D508B3"},
    {"game&id=1", "g", "0", "D62C253A2A092F7B1E8462FBEDB1626D"},
};

#endif
