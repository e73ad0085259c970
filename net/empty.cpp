// Keeps the library non-empty until its first source lands.
