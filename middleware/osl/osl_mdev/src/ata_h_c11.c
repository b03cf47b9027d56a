/* The driver interface header is shared with the kernel driver, which is C:
 * this unit keeps it compiling as plain C11 (its layout checks included). */
#include "ata.h"

struct ztostra_ow ata_h_c11_record;
