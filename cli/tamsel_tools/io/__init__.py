"""What the tools read and write: bounded reads, files, report files, the project file."""
