#pragma once

// PEM texts of the certificate and private key served with -s. Passed to the library from memory.
extern const char tlsCertificatePem[];
extern const char tlsPrivateKeyPem[];
