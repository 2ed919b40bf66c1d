// Trees on Windows: written next.
