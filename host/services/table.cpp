// The host services (being written).
