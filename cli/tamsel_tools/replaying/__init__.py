"""Decision logs and their replay: the record, the log that writes it, reading logs in batches,
evaluating them through a policy and the summary of what changed."""
