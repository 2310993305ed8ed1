#pragma pack(pop)
