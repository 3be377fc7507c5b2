"""What every layer shares: safe text, strict JSON, exit statuses, findings, located trees."""
