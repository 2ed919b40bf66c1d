#pragma once
/* A Windows tree has no extended attributes: labels and capabilities come from the config files. */
