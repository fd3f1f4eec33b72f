// The signature tests of format detection: each looks at fixed windows of
// the input's first bytes and answers its format code or 0. The registry
// puts them in detection order.
#pragma once

#include "Convert/conv_format_registry.h"

int Detect_Raw(DetectProbe& p);
int Detect_Materialise(DetectProbe& p);
int Detect_JPEG(DetectProbe& p);
int Detect_Interfile(DetectProbe& p);
int Detect_GE_CT9800(DetectProbe& p);
int Detect_Philips_HDL1(DetectProbe& p);
int Detect_Philips_MRH1(DetectProbe& p);
int Detect_IGB(DetectProbe& p);
int Detect_Bruker(DetectProbe& p);
int Detect_Analyze(DetectProbe& p);
int Detect_GE_Pace(DetectProbe& p);
int Detect_GE_Sytec(DetectProbe& p);
int Detect_Papyrus(DetectProbe& p);
int Detect_Elscint(DetectProbe& p);
int Detect_GE_Signa_5(DetectProbe& p);
int Detect_Imatron(DetectProbe& p);
int Detect_DICOM_File(DetectProbe& p);
int Detect_Picker(DetectProbe& p);
int Detect_Siemens_Vision(DetectProbe& p);
int Detect_Siemens_Plus_4(DetectProbe& p);
int Detect_SMIS(DetectProbe& p);
int Detect_GE_Pace_Anywhere(DetectProbe& p);
int Detect_Siemens_Plus(DetectProbe& p);
int Detect_GE_Signa_3(DetectProbe& p);
int Detect_Medison(DetectProbe& p);
int Detect_Shimadzu(DetectProbe& p);
int Detect_Siemens_Numaris_2(DetectProbe& p);
