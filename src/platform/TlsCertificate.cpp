#include "TlsCertificate.h"
